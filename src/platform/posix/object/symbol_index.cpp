#include "platform/posix/object/symbol_index.hpp"

#include <elf.h>
#include <link.h>

#include <algorithm>
#include <cstring>

#include "platform/posix/object/demangle.hpp"
#include "platform/posix/support/sorted_spans.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

using symbol = ElfW(Sym);

constexpr unsigned page_shift = 12;
// Beyond this span (a gigabyte of code) the page table would cost more
// than it saves.
constexpr std::uint64_t most_pages = std::uint64_t{1} << 18;

// Among aliases of one address the one a reader expects: exported before
// local, the default version before an old one, the source's name before one
// the compiler made from it ("f.localalias"), plain names before reserved.
std::uint32_t rank_of(const symbol& s, const char* name) {
    std::uint32_t binding = 0;
    switch (ELF64_ST_BIND(s.st_info)) {
    case STB_GLOBAL:
        binding = 3;
        break;
    case STB_WEAK:
        binding = 2;
        break;
    default:
        binding = 1;
        break;
    }
    const char* version_mark = std::strchr(name, '@');
    const std::uint32_t version = version_mark == nullptr || version_mark[1] == '@' ? 2 : 1;
    const unsigned type = ELF64_ST_TYPE(s.st_info);
    const std::uint32_t kind = type == STT_FUNC ? 2 : type == STT_GNU_IFUNC ? 1 : 0;
    const char* dot = std::strchr(name + 1, '.');
    const std::uint32_t source = dot == nullptr || (version_mark != nullptr && dot > version_mark) ? 1 : 0;
    std::uint32_t underscores = 0;
    while (underscores < 3 && name[underscores] == '_') ++underscores;
    return binding * 10000 + version * 1000 + kind * 100 + source * 10 + (3 - underscores);
}

bool names_code(const symbol& s, const char* name, const elf_file& file) {
    const unsigned type = ELF64_ST_TYPE(s.st_info);
    if (type != STT_FUNC && type != STT_GNU_IFUNC && type != STT_NOTYPE) return false;
    if (name[0] == '\0' || name[0] == '@' || name[0] == '$' || (name[0] == '.' && name[1] == 'L')) return false;
    if (s.st_shndx == SHN_UNDEF || s.st_shndx >= SHN_LORESERVE) return false;
    const elf_section* section = file.at(s.st_shndx);
    return section != nullptr && (section->flags & SHF_EXECINSTR) != 0;
}

const elf_section* symbol_table_of(const elf_file& file, bool dynamic) {
    for (const elf_section& section : file.sections())
        if (section.type == (dynamic ? SHT_DYNSYM : SHT_SYMTAB) && section.size != 0) return &section;
    return nullptr;
}

// A larger table of a file is read name by name once the index is built.
constexpr std::size_t names_kept_whole = std::size_t{64} * 1024;
// The first read of a name: most are shorter.
constexpr std::size_t first_name_read = 128;

// What a trace shows of a symbol's name: not the version that a full symbol
// table appends ("memcpy@@GLIBC_2.14"), nor the ".cold" of the compiler's
// cold part of a function ("f.cold", "f.cold.3"), which is still that
// function to whoever reads the trace.
std::string_view shown_part(std::string_view full) noexcept {
    const std::size_t mark = full.find('@');
    std::size_t size = mark != std::string_view::npos ? mark : full.size();
    const char* name = full.data();
    std::size_t end = size;
    while (end > 0 && name[end - 1] >= '0' && name[end - 1] <= '9') --end;
    if (end < size && end > 0 && name[end - 1] == '.')
        --end;
    else
        end = size;
    static constexpr char cold[] = ".cold";
    constexpr std::size_t cold_size = sizeof cold - 1;
    if (end > cold_size && std::memcmp(name + end - cold_size, cold, cold_size) == 0) size = end - cold_size;
    return std::string_view(name, size);
}

bool is_mangled(std::string_view name) { return name.size() >= 2 && name[0] == '_' && name[1] == 'Z'; }

} // namespace

// A function symbol as the build sees it: where, how long, which symbol (for
// a stable choice among equals) and name, and how it ranks among aliases of
// its address.
struct symbol_index::candidate {
    std::uint64_t start;
    std::uint32_t size;
    std::uint32_t symbol;
    std::uint32_t name;
    std::uint32_t rank;
};

std::unique_ptr<symbol_index> symbol_index::build(const elf_file& file, bool dynamic, std::uint64_t bias) {
    const table_source source{&file, dynamic, bias};
    return build(&source, 1);
}

std::unique_ptr<symbol_index> symbol_index::build(const table_source* sources, std::size_t count) {
    std::unique_ptr<symbol_index> index(new symbol_index());
    std::vector<candidate> found;
    std::size_t used = 0;
    for (std::size_t i = 0; i < count && used < 2; ++i) {
        if (!open_table(sources[i], index->tables_[used])) continue;
        // A table that changed while it was read gives no names at all.
        if (!index->collect(sources[i], used == 0 ? 0 : second_table, found)) return nullptr;
        ++used;
    }
    if (used == 0) return nullptr;
    // Collecting read every name; a lookup reads a few. Let go before the
    // sort, which doubles what the build holds.
    for (table& t : index->tables_)
        if (t.bytes != nullptr && !t.bytes->in_memory() && t.names_size > names_kept_whole) {
            t.bytes->release(0, t.names_size);
            t.names = nullptr;
        }
    sort_by_start(found);
    index->keep_best_aliases(found);
    index->index_pages();
    index->blocks_ =
        std::make_unique<published<name_block>[]>((index->functions_.size() + block_size - 1) / block_size);
    return index;
}

// By address, a digit of up to 11 bits at a time from the lowest, over only
// the bits in which the addresses differ: a large library's thousands of
// symbols span a few megabytes, two passes, where a comparison sort took most
// of the time of a first lookup in it. Which of several symbols at one
// address comes first does not matter: keep_best_aliases orders them itself.
void symbol_index::sort_by_start(std::vector<candidate>& list) {
    if (list.size() < 64) {
        std::sort(list.begin(), list.end(), [](const candidate& a, const candidate& b) { return a.start < b.start; });
        return;
    }
    std::uint64_t low = list.front().start;
    std::uint64_t high = low;
    for (const candidate& c : list) {
        low = std::min(low, c.start);
        high = std::max(high, c.start);
    }
    constexpr unsigned widest_digit = 11;
    unsigned bits = 0;
    while (bits < 64 && ((high - low) >> bits) != 0) ++bits;
    const unsigned passes = (bits + widest_digit - 1) / widest_digit;
    if (passes == 0) return;
    const unsigned digit_bits = (bits + passes - 1) / passes;
    const std::uint64_t mask = (std::uint64_t{1} << digit_bits) - 1;
    std::vector<candidate> other(list.size());
    std::vector<std::size_t> counts((std::size_t{1} << digit_bits) + 1);
    for (unsigned shift = 0; shift < bits; shift += digit_bits) {
        std::fill(counts.begin(), counts.end(), 0);
        for (const candidate& c : list) ++counts[((c.start - low) >> shift & mask) + 1];
        for (std::size_t digit = 0; digit + 1 < counts.size(); ++digit) counts[digit + 1] += counts[digit];
        for (const candidate& c : list) other[counts[(c.start - low) >> shift & mask]++] = c;
        list.swap(other);
    }
}

bool symbol_index::open_table(const table_source& source, table& out) {
    const elf_section* symbols = symbol_table_of(*source.file, source.dynamic);
    if (symbols == nullptr) return false;
    const elf_section* strings = source.file->at(symbols->link);
    if (strings == nullptr || strings->size == 0) return false;
    // What the build checks (each name offset, the last byte) holds for what
    // is read later: the file is read only while it is unchanged.
    std::unique_ptr<section_data> bytes = source.file->contents(*strings);
    if (bytes == nullptr || !bytes->ensure(0, bytes->size())) return false;
    const char* names = reinterpret_cast<const char*>(bytes->bytes());
    if (names[strings->size - 1] != '\0') return false;
    out.bytes = std::move(bytes);
    out.names = names;
    out.names_size = strings->size;
    return true;
}

// The table is read in pieces and let go: only names stay.
bool symbol_index::collect(const table_source& source, std::uint32_t table_bit, std::vector<candidate>& found) const {
    const elf_file& file = *source.file;
    const elf_section& section = *symbol_table_of(file, source.dynamic);
    const std::unique_ptr<section_data> table = file.contents(section);
    if (table == nullptr) return false;
    const std::size_t count = std::min<std::size_t>(section.size / sizeof(symbol), second_table);
    const std::size_t names_size = table_of(table_bit).names_size;
    const char* names = table_of(table_bit).names;
    // Room for every symbol at once: pages of it that stay unused cost nothing,
    // and growing would copy.
    found.reserve(found.size() + count);
    std::vector<symbol> chunk(512);
    for (std::size_t first = 1; first < count; first += chunk.size()) {
        const std::size_t n = std::min(chunk.size(), count - first);
        if (!table->copy_out(first * sizeof(symbol), n * sizeof(symbol), reinterpret_cast<std::uint8_t*>(chunk.data())))
            return false;
        for (std::size_t k = 0; k < n; ++k) {
            const symbol& s = chunk[k];
            if (s.st_name >= names_size || s.st_name >= second_table || s.st_size > UINT32_MAX ||
                !names_code(s, names + s.st_name, file))
                continue;
            found.push_back(candidate{s.st_value + source.bias, static_cast<std::uint32_t>(s.st_size),
                                      static_cast<std::uint32_t>(first + k) | table_bit, s.st_name | table_bit,
                                      rank_of(s, names + s.st_name)});
        }
    }
    return true;
}

void symbol_index::keep_best_aliases(std::vector<candidate>& list) {
    struct ranked_alias {
        alias a;
        std::uint32_t rank;
        std::uint32_t symbol;
    };
    std::vector<ranked_alias> others;
    // One entry per address: the best-ranked alias, as long as the longest.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (kept > 0 && list[kept - 1].start == list[i].start) {
            candidate& best = list[kept - 1];
            const std::uint32_t longest = std::max(best.size, list[i].size);
            candidate other = list[i];
            if (list[i].rank > best.rank || (list[i].rank == best.rank && list[i].symbol < best.symbol)) {
                other = best;
                best = list[i];
            }
            best.size = longest;
            others.push_back(
                ranked_alias{alias{static_cast<std::uint32_t>(kept - 1), other.name}, other.rank, other.symbol});
            continue;
        }
        list[kept++] = list[i];
    }
    functions_.reserve(kept);
    for (std::size_t i = 0; i < kept; ++i) functions_.push_back(function{list[i].start, list[i].size, list[i].name});
    // A symbol without a size (hand-written code) reaches to the next one.
    for (std::size_t i = 0; i + 1 < functions_.size(); ++i)
        if (functions_[i].size == 0 && functions_[i + 1].start - functions_[i].start <= UINT32_MAX)
            functions_[i].size = static_cast<std::uint32_t>(functions_[i + 1].start - functions_[i].start);
    // Found in the order of their functions already: only each function's
    // few aliases need ordering, best first.
    const auto better = [](const ranked_alias& x, const ranked_alias& y) {
        return x.rank != y.rank ? x.rank > y.rank : x.symbol < y.symbol;
    };
    for (std::size_t first = 0; first < others.size();) {
        std::size_t end = first + 1;
        while (end < others.size() && others[end].a.function == others[first].a.function) ++end;
        if (end - first > 1) std::sort(others.begin() + first, others.begin() + end, better);
        first = end;
    }
    aliases_.reserve(others.size());
    for (const ranked_alias& other : others) aliases_.push_back(other.a);
}

void symbol_index::index_pages() {
    const std::vector<function>& list = functions_;
    if (list.empty()) return;
    const std::uint64_t pages = ((list.back().start - list.front().start) >> page_shift) + 1;
    if (pages > most_pages) return;
    page_base_ = list.front().start;
    page_first_.resize(static_cast<std::size_t>(pages) + 1);
    std::size_t next = 0;
    for (std::size_t page = 0; page <= pages; ++page) {
        const std::uint64_t page_start = page_base_ + (std::uint64_t{page} << page_shift);
        while (next < list.size() && list[next].start < page_start) ++next;
        page_first_[page] = static_cast<std::uint32_t>(next);
    }
}

const symbol_index::function* symbol_index::find(std::uint64_t address, bool* nearest) const noexcept {
    if (nearest != nullptr) *nearest = false;
    auto first = functions_.begin();
    auto last = functions_.end();
    if (!page_first_.empty()) {
        if (address < page_base_) return nullptr;
        const std::uint64_t page = (address - page_base_) >> page_shift;
        if (page + 1 < page_first_.size()) {
            last = functions_.begin() + page_first_[static_cast<std::size_t>(page) + 1];
            first = functions_.begin() + page_first_[static_cast<std::size_t>(page)];
        } else {
            first = functions_.begin() + page_first_.back();
        }
    }
    // A search without branches on the data: the page's few functions are
    // found without mispredictions.
    auto after = first;
    if (first != last) {
        auto base = first;
        std::size_t count = static_cast<std::size_t>(last - first);
        while (count > 1) {
            const std::size_t half = count / 2;
            base = base[static_cast<std::ptrdiff_t>(half)].start <= address ? base + static_cast<std::ptrdiff_t>(half)
                                                                            : base;
            count -= half;
        }
        after = base->start <= address ? base + 1 : base;
    }
    // Overlapping symbols are rare and close together: aliases of one
    // function, a function and its parts.
    constexpr std::size_t most_overlapping_symbols = 16;
    const function* end = functions_.data() + (after - functions_.begin());
    const function* found = last_holding(functions_.data(), end, most_overlapping_symbols,
                                         [address](const function& f) { return address - f.start < f.size; });
    if (nearest != nullptr) *nearest = found != nullptr && found == end - 1;
    return found;
}

bool symbol_index::name_bytes(std::uint32_t number, std::string& copy, std::string_view& out) const {
    const table& t = table_of(number);
    const std::size_t offset = number & ~second_table;
    const char* names = t.names;
    if (names == nullptr)
        if (const whole_names* whole = t.whole_for_walks.get())
            names = reinterpret_cast<const char*>(whole->bytes.get());
    if (names != nullptr) {
        out = std::string_view(names + offset, strnlen(names + offset, t.names_size - offset));
        return true;
    }
    // Read from the file in growing steps, never past the table.
    copy.clear();
    for (std::size_t at = offset, step = first_name_read; at < t.names_size; at += step, step *= 2) {
        const std::size_t count = std::min(step, t.names_size - at);
        const std::size_t before = copy.size();
        copy.resize(before + count);
        if (!t.bytes->copy_out(at, count, reinterpret_cast<std::uint8_t*>(&copy[before]))) return false;
        const std::size_t end = copy.find('\0', before);
        if (end != std::string::npos) {
            copy.resize(end);
            break;
        }
    }
    out = copy;
    return true;
}

bool symbol_index::raw_name(std::uint32_t number, std::string& copy, std::string_view& out) const {
    if (!name_bytes(number, copy, out)) return false;
    out = shown_part(out);
    return true;
}

std::string symbol_index::display_name(std::size_t number, std::string_view raw) const {
    std::string text;
    if (demangle(raw.data(), raw.size(), text)) return text;
    // Judged here, on the name a lookup wants, rather than for every alias
    // while the index is built.
    auto first = std::lower_bound(aliases_.begin(), aliases_.end(), number,
                                  [](const alias& a, std::size_t n) { return a.function < n; });
    std::string copy;
    for (auto a = first; a != aliases_.end() && a->function == number; ++a) {
        std::string_view other;
        if (!raw_name(a->name, copy, other)) continue;
        if (!is_mangled(other)) return std::string(other);
        if (demangle(other.data(), other.size(), text)) return text;
    }
    return std::string(raw);
}

// The symbol itself, not its cold part: "f.cold" reads as "f" in a trace,
// but a name with an offset (glibc's "f+0x12") counts from f's own start.
bool symbol_index::names_exactly(const char* names, std::size_t names_size, std::uint32_t offset,
                                 std::string_view symbol_name) const noexcept {
    const std::string_view full(names + offset, strnlen(names + offset, names_size - offset));
    if (shown_part(full) != symbol_name) return false;
    return full.size() == symbol_name.size() || full[symbol_name.size()] == '@';
}

const char* symbol_index::names_for_walk(const table& t) const {
    if (t.names != nullptr || t.bytes == nullptr) return t.names;
    if (const whole_names* known = t.whole_for_walks.get()) return reinterpret_cast<const char*>(known->bytes.get());
    auto made = std::make_unique<whole_names>();
    made->bytes = allocate_unfilled(t.names_size);
    if (!t.bytes->copy_out(0, t.names_size, made->bytes.get()) || made->bytes[t.names_size - 1] != '\0') return nullptr;
    const whole_names* kept = t.whole_for_walks.offer(std::unique_ptr<const whole_names>(made.release()));
    return reinterpret_cast<const char*>(kept->bytes.get());
}

void symbol_index::keep_names() const {
    for (const table& t : tables_) names_for_walk(t);
}

const symbol_index::function* symbol_index::find_named(std::string_view symbol_name) const {
    const char* names[2] = {names_for_walk(tables_[0]), names_for_walk(tables_[1])};
    const auto named = [&](std::uint32_t name) {
        const std::size_t t = (name & second_table) != 0 ? 1 : 0;
        return names[t] != nullptr && names_exactly(names[t], tables_[t].names_size, name & ~second_table, symbol_name);
    };
    for (const function& f : functions_)
        if (named(f.name)) return &f;
    for (const alias& a : aliases_)
        if (named(a.name)) return &functions_[a.function];
    return nullptr;
}

std::string_view symbol_index::name_of(const function& f) const {
    const std::size_t number = static_cast<std::size_t>(&f - functions_.data());
    published<name_block>& block_slot = blocks_[number / block_size];
    name_block* block = block_slot.get();
    if (block == nullptr) block = block_slot.offer(std::make_unique<name_block>());
    published<const display_name_text>& slot = block->names[number % block_size];
    if (const display_name_text* known = slot.get()) return known->text;
    auto made = std::make_unique<display_name_text>();
    std::string copy;
    std::string_view raw;
    if (!raw_name(f.name, copy, raw)) return std::string_view();
    if (is_mangled(raw)) {
        made->own = display_name(number, raw);
        made->text = made->own;
    } else if (raw.data() >= copy.data() && raw.data() <= copy.data() + copy.size()) {
        // Read into the copy, which goes: an empty name too.
        made->own = std::string(raw);
        made->text = made->own;
    } else {
        made->text = raw;
    }
    return slot.offer(std::unique_ptr<const display_name_text>(made.release()))->text;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
