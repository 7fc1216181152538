#include "function_symbols.hpp"

#include <elf.h>

#include <algorithm>
#include <cstring>

#include "demangle.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

using symbol = Elf64_Sym;

constexpr unsigned page_shift = 12;
// Beyond this span (a gigabyte of code) the page table would cost more
// than it saves.
constexpr std::uint64_t most_pages = std::uint64_t{1} << 18;

symbol symbol_at(const std::uint8_t* table, std::uint32_t index) {
    symbol s;
    std::memcpy(&s, table + std::size_t{index} * sizeof(symbol), sizeof s);
    return s;
}

// Among aliases of one address the one a reader expects: exported before
// local, the default version before an old one, plain names before reserved.
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
    std::uint32_t underscores = 0;
    while (underscores < 3 && name[underscores] == '_') ++underscores;
    return binding * 1000 + version * 100 + kind * 10 + (3 - underscores);
}

bool names_code(const symbol& s, const char* name, const elf_file& file) {
    const unsigned type = ELF64_ST_TYPE(s.st_info);
    if (type != STT_FUNC && type != STT_GNU_IFUNC && type != STT_NOTYPE) return false;
    if (name[0] == '\0' || name[0] == '@' || name[0] == '$' || (name[0] == '.' && name[1] == 'L')) return false;
    if (s.st_shndx == SHN_UNDEF || s.st_shndx >= SHN_LORESERVE) return false;
    const elf_section* section = file.at(s.st_shndx);
    return section != nullptr && (section->flags & SHF_EXECINSTR) != 0;
}

} // namespace

function_symbols::~function_symbols() {
    for (std::size_t b = 0; b < block_count_; ++b) {
        name_block* block = blocks_[b].load(std::memory_order_relaxed);
        if (block == nullptr) continue;
        for (auto& name : block->names) delete name.load(std::memory_order_relaxed);
        delete block;
    }
}

std::unique_ptr<function_symbols> function_symbols::build(const elf_file& file, bool dynamic, std::uint64_t bias) {
    const elf_section* table = nullptr;
    for (const elf_section& section : file.sections())
        if (section.type == (dynamic ? SHT_DYNSYM : SHT_SYMTAB) && section.data != nullptr) {
            table = &section;
            break;
        }
    if (table == nullptr) return nullptr;
    const elf_section* strings = file.at(table->link);
    if (strings == nullptr || strings->data == nullptr || strings->size == 0) return nullptr;
    const char* names = reinterpret_cast<const char*>(strings->data);
    const std::size_t names_size = strings->size;
    if (names[names_size - 1] != '\0') return nullptr;
    const std::size_t count = std::min<std::size_t>(table->size / sizeof(symbol), UINT32_MAX);

    std::unique_ptr<function_symbols> index(new function_symbols());
    index->symbols_ = table->data;
    index->names_ = names;
    index->names_size_ = names_size;
    auto is_function = [&](const symbol& s) {
        return s.st_name < names_size && s.st_size <= UINT32_MAX && names_code(s, names + s.st_name, file);
    };
    // Counted first, so that the index is allocated once at its size.
    std::size_t functions = 0;
    for (std::size_t i = 1; i < count; ++i)
        if (is_function(symbol_at(table->data, static_cast<std::uint32_t>(i)))) ++functions;
    std::vector<function>& list = index->functions_;
    list.reserve(functions);
    for (std::size_t i = 1; i < count; ++i) {
        const symbol s = symbol_at(table->data, static_cast<std::uint32_t>(i));
        if (is_function(s))
            list.push_back(
                function{s.st_value + bias, static_cast<std::uint32_t>(s.st_size), static_cast<std::uint32_t>(i)});
    }
    std::sort(list.begin(), list.end(), [](const function& a, const function& b) { return a.start < b.start; });

    // One entry per address: the best-ranked alias, as long as the longest.
    std::size_t kept = 0;
    std::uint32_t kept_rank = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (kept > 0 && list[kept - 1].start == list[i].start) {
            const symbol s = symbol_at(table->data, list[i].symbol);
            const std::uint32_t rank = rank_of(s, names + s.st_name);
            function& best = list[kept - 1];
            const std::uint32_t size = std::max(best.size, list[i].size);
            if (rank > kept_rank || (rank == kept_rank && list[i].symbol < best.symbol)) {
                best.symbol = list[i].symbol;
                kept_rank = rank;
            }
            best.size = size;
            continue;
        }
        list[kept++] = list[i];
        const symbol s = symbol_at(table->data, list[i].symbol);
        kept_rank = rank_of(s, names + s.st_name);
    }
    list.resize(kept);
    // A symbol without a size (hand-written code) reaches to the next one.
    for (std::size_t i = 0; i + 1 < list.size(); ++i)
        if (list[i].size == 0 && list[i + 1].start - list[i].start <= UINT32_MAX)
            list[i].size = static_cast<std::uint32_t>(list[i + 1].start - list[i].start);

    if (!list.empty()) {
        const std::uint64_t pages = ((list.back().start - list.front().start) >> page_shift) + 1;
        if (pages <= most_pages) {
            index->page_base_ = list.front().start;
            index->page_first_.resize(static_cast<std::size_t>(pages) + 1);
            std::size_t next = 0;
            for (std::size_t page = 0; page <= pages; ++page) {
                const std::uint64_t page_start = index->page_base_ + (std::uint64_t{page} << page_shift);
                while (next < list.size() && list[next].start < page_start) ++next;
                index->page_first_[page] = static_cast<std::uint32_t>(next);
            }
        }
    }

    index->block_count_ = (list.size() + block_size - 1) / block_size;
    index->blocks_.reset(new std::atomic<name_block*>[index->block_count_]);
    for (std::size_t b = 0; b < index->block_count_; ++b) index->blocks_[b].store(nullptr, std::memory_order_relaxed);
    return index;
}

const function_symbols::function* function_symbols::find(std::uint64_t address, bool* nearest) const noexcept {
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
    // Overlapping symbols are rare and close together.
    for (int steps = 0; after != functions_.begin() && steps < 16; ++steps) {
        --after;
        if (address - after->start < after->size) {
            if (nearest != nullptr) *nearest = steps == 0;
            return &*after;
        }
    }
    return nullptr;
}

text_view function_symbols::raw_name(const function& f) const noexcept {
    const symbol s = symbol_at(symbols_, f.symbol);
    const char* name = names_ + s.st_name;
    // The version that a full symbol table appends ("memcpy@@GLIBC_2.14")
    // is not part of the name.
    const std::size_t length = strnlen(name, names_size_ - s.st_name);
    const void* mark = std::memchr(name, '@', length);
    std::size_t size = mark != nullptr ? static_cast<std::size_t>(static_cast<const char*>(mark) - name) : length;
    // The compiler's cold part of a function ("f.cold", "f.cold.3") is still
    // that function to whoever reads the trace.
    std::size_t end = size;
    while (end > 0 && name[end - 1] >= '0' && name[end - 1] <= '9') --end;
    if (end < size && end > 0 && name[end - 1] == '.')
        --end;
    else
        end = size;
    static constexpr char cold[] = ".cold";
    constexpr std::size_t cold_size = sizeof cold - 1;
    if (end > cold_size && std::memcmp(name + end - cold_size, cold, cold_size) == 0) size = end - cold_size;
    return text_view{name, size};
}

text_view function_symbols::name_of(const function& f) const {
    const text_view raw = raw_name(f);
    if (raw.size < 2 || raw.data[0] != '_' || raw.data[1] != 'Z') return raw;
    const std::size_t number = static_cast<std::size_t>(&f - functions_.data());
    std::atomic<name_block*>& block_slot = blocks_[number / block_size];
    name_block* block = block_slot.load(std::memory_order_acquire);
    if (block == nullptr) {
        std::unique_ptr<name_block> fresh(new name_block());
        for (auto& name : fresh->names) name.store(nullptr, std::memory_order_relaxed);
        name_block* expected = nullptr;
        if (block_slot.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel,
                                               std::memory_order_acquire))
            block = fresh.release();
        else
            block = expected;
    }
    std::atomic<const std::string*>& slot = block->names[number % block_size];
    const std::string* name = slot.load(std::memory_order_acquire);
    if (name == nullptr) {
        std::string text;
        if (!demangle(raw.data, raw.size, text)) text.assign(raw.data, raw.size);
        std::unique_ptr<const std::string> mine(new std::string(std::move(text)));
        const std::string* expected = nullptr;
        if (slot.compare_exchange_strong(expected, mine.get(), std::memory_order_acq_rel, std::memory_order_acquire))
            name = mine.release();
        else
            name = expected;
    }
    return text_view{name->data(), name->size()};
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
