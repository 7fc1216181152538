#include "symbol_session.hpp"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

struct load_counters {
    unsigned long long adds = 0;
    unsigned long long subs = 0;
};

int read_counters(dl_phdr_info* info, std::size_t, void* data) {
    auto* counters = static_cast<load_counters*>(data);
    counters->adds = info->dlpi_adds;
    counters->subs = info->dlpi_subs;
    return 1;
}

struct vdso_image {
    const void* start = nullptr;
    std::size_t size = 0;
};

// The kernel maps the vDSO as one complete ELF image, section headers
// included.
vdso_image find_vdso() {
    vdso_image image;
    const auto* header = reinterpret_cast<const ElfW(Ehdr)*>(getauxval(AT_SYSINFO_EHDR));
    if (header == nullptr || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0) return image;
    std::size_t size = header->e_shoff + std::size_t{header->e_shnum} * header->e_shentsize;
    const auto* segments = reinterpret_cast<const ElfW(Phdr)*>(reinterpret_cast<const char*>(header) + header->e_phoff);
    for (int i = 0; i < header->e_phnum; ++i)
        if (segments[i].p_type == PT_LOAD)
            size = std::max<std::size_t>(size, segments[i].p_offset + segments[i].p_filesz);
    image.start = header;
    image.size = size;
    return image;
}

struct object_walk {
    std::vector<module_description> objects;
    load_counters counters;
    bool first = true;
    vdso_image vdso;
    const void* executable_headers = nullptr;
};

std::string file_name_of(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Runs under the loader's lock: reads only what the loader mapped.
int collect_object(dl_phdr_info* info, std::size_t, void* data) {
    auto& walk = *static_cast<object_walk*>(data);
    const bool first = walk.first;
    if (first) {
        walk.counters.adds = info->dlpi_adds;
        walk.counters.subs = info->dlpi_subs;
        walk.first = false;
    }
    module_description d;
    d.bias = info->dlpi_addr;
    d.program_headers = info->dlpi_phdr;
    d.header_count = info->dlpi_phnum;
    bool have_first_load = false;
    for (std::size_t i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD) {
            if (!have_first_load) {
                d.first_load = segment.p_vaddr;
                have_first_load = true;
            }
            if ((segment.p_flags & PF_X) != 0 && segment.p_memsz != 0)
                d.code.emplace_back(segment.p_vaddr, segment.p_vaddr + segment.p_memsz);
        } else if (segment.p_type == PT_NOTE && d.id.empty()) {
            d.id = build_id_in_notes(reinterpret_cast<const std::uint8_t*>(info->dlpi_addr + segment.p_vaddr),
                                     segment.p_filesz);
        }
    }
    if (d.code.empty()) return 0;

    const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    const auto* headers = reinterpret_cast<const char*>(info->dlpi_phdr);
    const auto* vdso = static_cast<const char*>(walk.vdso.start);
    if (vdso != nullptr && headers >= vdso && headers < vdso + walk.vdso.size) {
        d.source = module_source::vdso;
        d.image = walk.vdso.start;
        d.image_size = walk.vdso.size;
    } else if (name[0] == '\0') {
        // Only the executable has no name.
        if (!(first || info->dlpi_phdr == walk.executable_headers)) return 0;
        d.source = module_source::executable;
    }
    d.loader_name = name;
    d.path = name;
    walk.objects.push_back(std::move(d));
    return 0;
}

std::string executable_path() {
    char buffer[4096];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof buffer) return std::string();
    std::string path(buffer, static_cast<std::size_t>(length));
    static const char deleted[] = " (deleted)";
    const std::size_t mark = sizeof deleted - 1;
    if (path.size() > mark && path.compare(path.size() - mark, mark, deleted) == 0) path.resize(path.size() - mark);
    return path;
}

// The path of the file mapped at an address, from the kernel's list of
// mappings: a library opened by a relative path is found wherever the
// working directory has moved since.
std::string mapped_path(std::uint64_t address) {
    const int fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    std::string text;
    char buffer[8192];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(fd);
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        char* rest = nullptr;
        const unsigned long long low = std::strtoull(line.c_str(), &rest, 16);
        if (rest == nullptr || *rest != '-') continue;
        const unsigned long long high = std::strtoull(rest + 1, &rest, 16);
        if (address < low || address >= high) continue;
        const std::size_t slash = line.find('/');
        return slash == std::string::npos ? std::string() : line.substr(slash);
    }
    return std::string();
}

} // namespace

module_table::module_table(std::vector<std::shared_ptr<loaded_module>> modules, unsigned long long adds,
                           unsigned long long subs)
    : modules_(std::move(modules)), adds_(adds), subs_(subs) {
    for (const std::shared_ptr<loaded_module>& module : modules_) {
        const module_description& d = module->description();
        for (const auto& range : d.code)
            spans_.push_back(span{d.bias + range.first, d.bias + range.second, module.get()});
    }
    std::sort(spans_.begin(), spans_.end(), [](const span& a, const span& b) { return a.start < b.start; });
}

loaded_module* module_table::find(std::uint64_t address) const noexcept {
    auto after = std::upper_bound(spans_.begin(), spans_.end(), address,
                                  [](std::uint64_t a, const span& s) { return a < s.start; });
    if (after == spans_.begin()) return nullptr;
    --after;
    return address < after->end ? after->module : nullptr;
}

symbol_session& symbol_session::instance() {
    // Never destroyed: threads may still resolve while the process exits.
    static symbol_session* session = new symbol_session();
    return *session;
}

std::shared_ptr<const module_table> symbol_session::attach() {
    load_counters now;
    dl_iterate_phdr(read_counters, &now);
    auto unchanged = [&](const std::shared_ptr<const module_table>& table) {
        return table != nullptr && table->adds() == now.adds && table->subs() == now.subs;
    };
    // Attaches from many threads meet here: the usual case takes no lock.
    std::shared_ptr<const module_table> table = std::atomic_load_explicit(&current_, std::memory_order_acquire);
    if (unchanged(table)) return table;
    std::lock_guard<std::mutex> lock(mutex_);
    table = std::atomic_load_explicit(&current_, std::memory_order_acquire);
    if (unchanged(table)) return table;
    table = rebuild(table.get());
    std::atomic_store_explicit(&current_, table, std::memory_order_release);
    return table;
}

std::shared_ptr<const module_table> symbol_session::rebuild(const module_table* previous) {
    object_walk walk;
    walk.vdso = find_vdso();
    walk.executable_headers = reinterpret_cast<const void*>(getauxval(AT_PHDR));
    dl_iterate_phdr(collect_object, &walk);

    std::vector<std::shared_ptr<loaded_module>> modules;
    modules.reserve(walk.objects.size());
    for (module_description& d : walk.objects) {
        std::shared_ptr<loaded_module> kept;
        if (previous != nullptr) {
            for (const std::shared_ptr<loaded_module>& old : previous->modules()) {
                const module_description& o = old->description();
                // The executable's path is not asked again: it cannot change.
                const bool same = d.source == module_source::executable
                                      ? o.source == module_source::executable && o.bias == d.bias &&
                                            o.program_headers == d.program_headers && o.code == d.code
                                      : o.source == d.source && o.same_object(d);
                if (same) {
                    kept = old;
                    break;
                }
            }
        }
        if (kept == nullptr) {
            if (d.source == module_source::executable) {
                d.path = executable_path();
                d.name = file_name_of(d.path);
            } else {
                if (d.source == module_source::file && d.path[0] != '/') {
                    const std::string resolved = mapped_path(d.bias + d.first_load);
                    d.name = file_name_of(d.path);
                    if (!resolved.empty()) d.path = resolved;
                } else {
                    d.name = file_name_of(d.path);
                }
            }
            kept = std::make_shared<loaded_module>(std::move(d));
        }
        modules.push_back(std::move(kept));
    }
    return std::make_shared<const module_table>(std::move(modules), walk.counters.adds, walk.counters.subs);
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
