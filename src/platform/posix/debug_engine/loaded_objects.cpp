#include "platform/posix/debug_engine/loaded_objects.hpp"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/posix/debug_engine/process_mappings.hpp"
#include "platform/posix/support/child_of_fork.hpp"
#include "platform/posix/support/loader_lock_reads.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

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
    loaded_objects list;
    bool first = true;
    vdso_image vdso;
    const void* executable_headers = nullptr;
};

// The loader's list as a debugger reads it, for a child of fork() whose
// loader's lock may be lost (RTLD_DI_PHDR gives each object's program headers
// as dl_iterate_phdr does from glibc 2.36).
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 36))
#define CALLTRAIL_LOADER_LIST_WITHOUT_LOCK 1
#else
#define CALLTRAIL_LOADER_LIST_WITHOUT_LOCK 0
#endif

#if CALLTRAIL_LOADER_LIST_WITHOUT_LOCK
bool is_mapped(const std::vector<mapping>& mappings, std::uintptr_t start, std::size_t size) {
    const mapping* m = mapping_at(mappings, start);
    return m != nullptr && size <= m->high - start;
}

// Whether what read_segments reads of an object is there: an object that was
// being unloaded at the fork may still be listed, its image gone.
bool is_mapped(const std::vector<mapping>& mappings, const dl_phdr_info& info) {
    if (!is_mapped(mappings, reinterpret_cast<std::uintptr_t>(info.dlpi_phdr), info.dlpi_phnum * sizeof(ElfW(Phdr))))
        return false;
    for (std::size_t i = 0; i < info.dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info.dlpi_phdr[i];
        if (segment.p_type == PT_NOTE && !is_mapped(mappings, info.dlpi_addr + segment.p_vaddr, segment.p_filesz))
            return false;
    }
    return true;
}

// Every namespace's objects, as dl_iterate_phdr gives them.
template <class Visit> void each_object_without_the_lock(Visit visit) {
    const r_debug* list = &_r_debug;
    for (int namespaces = 0; list != nullptr && namespaces < 64; ++namespaces) {
        for (link_map* object = list->r_map; object != nullptr; object = object->l_next) {
            const ElfW(Phdr)* headers = nullptr;
            const int count = dlinfo(object, RTLD_DI_PHDR, &headers);
            if (count <= 0 || headers == nullptr) continue;
            dl_phdr_info info;
            std::memset(&info, 0, sizeof info);
            info.dlpi_addr = object->l_addr;
            info.dlpi_name = object->l_name;
            info.dlpi_phdr = headers;
            info.dlpi_phnum = static_cast<ElfW(Half)>(count);
            visit(info);
        }
        const r_debug_extended* next =
            list->r_version >= 2 ? reinterpret_cast<const r_debug_extended*>(list)->r_next : nullptr;
        list = next != nullptr ? &next->base : nullptr;
    }
}

// The loader's own counts need its lock; these count the changes seen to
// the list instead. Tables taken in the child are compared with these alone
// until the child has a second thread; the real counts then differ, and the
// table is taken again.
void counters_without_the_lock(unsigned long long& adds, unsigned long long& subs) {
    static unsigned long long last_fingerprint = 0;
    static unsigned long long changes = 0;
    unsigned long long fingerprint = 1469598103934665603ull;
    each_object_without_the_lock([&fingerprint](const dl_phdr_info& info) {
        for (const std::uintptr_t part :
             {reinterpret_cast<std::uintptr_t>(info.dlpi_phdr), static_cast<std::uintptr_t>(info.dlpi_addr),
              reinterpret_cast<std::uintptr_t>(info.dlpi_name)})
            fingerprint = (fingerprint ^ part) * 1099511628211ull;
    });
    if (fingerprint != last_fingerprint) {
        last_fingerprint = fingerprint;
        ++changes;
    }
    adds = changes;
    subs = 0;
}
#endif

int read_counters(dl_phdr_info* info, std::size_t, void* data) {
    auto* counts = static_cast<unsigned long long*>(data);
    counts[0] = info->dlpi_adds;
    counts[1] = info->dlpi_subs;
    return 1;
}

// Segments of one object: where its code is, its first load address and its
// build-id.
void read_segments(const dl_phdr_info* info, module_description& d) {
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
}

// Runs under the loader's lock: reads only what the loader mapped.
int collect_object(dl_phdr_info* info, std::size_t, void* data) {
    const loader_lock_reads guarded_by_the_loader;
    auto& walk = *static_cast<object_walk*>(data);
    const bool first = walk.first;
    if (first) {
        walk.list.adds = info->dlpi_adds;
        walk.list.subs = info->dlpi_subs;
        walk.first = false;
    }
    module_description d;
    d.bias = info->dlpi_addr;
    d.program_headers = info->dlpi_phdr;
    d.header_count = info->dlpi_phnum;
    read_segments(info, d);
    if (d.code.empty()) return 0;

    const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    const auto* headers = reinterpret_cast<const char*>(info->dlpi_phdr);
    const auto* vdso = static_cast<const char*>(walk.vdso.start);
    if (vdso != nullptr && headers >= vdso && headers < vdso + walk.vdso.size) {
        d.source = module_source::memory;
        d.image = walk.vdso.start;
        d.image_size = walk.vdso.size;
    } else if (name[0] == '\0') {
        // Only the executable has no name.
        if (!(first || info->dlpi_phdr == walk.executable_headers)) return 0;
        d.source = module_source::executable;
    }
    d.loader_name = name;
    d.path = name;
    walk.list.objects.push_back(std::move(d));
    return 0;
}

std::string file_name_of(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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

// Which file each object was mapped from, by the address of its first
// loadable segment.
void identify_files(loaded_objects& list) {
    const std::vector<mapping> mappings = read_mappings();
    for (module_description& d : list.objects) {
        if (d.source == module_source::memory) continue;
        const mapping* m = mapping_at(mappings, d.bias + d.first_load);
        if (m == nullptr || !m->file.known()) continue;
        d.file = m->file;
        d.map_files_path = map_files_path(*m);
        d.mapped_path = m->path;
    }
}

} // namespace

loaded_objects list_loaded_objects() {
    // The mappings are read after the loader's list: an object loaded or
    // unloaded in between is taken as it is afterwards, by trying again.
    for (int attempt = 0;; ++attempt) {
        object_walk walk;
        walk.vdso = find_vdso();
        walk.executable_headers = reinterpret_cast<const void*>(getauxval(AT_PHDR));
#if CALLTRAIL_LOADER_LIST_WITHOUT_LOCK
        if (loader_lock_may_be_lost()) {
            unsigned long long adds = 0;
            unsigned long long subs = 0;
            counters_without_the_lock(adds, subs);
            const std::vector<mapping> mappings = read_mappings();
            each_object_without_the_lock([&walk, &mappings, adds, subs](dl_phdr_info& info) {
                if (!is_mapped(mappings, info)) return;
                info.dlpi_adds = adds;
                info.dlpi_subs = subs;
                collect_object(&info, sizeof info, &walk);
            });
        } else {
            dl_iterate_phdr(collect_object, &walk);
        }
#else
        dl_iterate_phdr(collect_object, &walk);
#endif
        identify_files(walk.list);
        unsigned long long adds = 0;
        unsigned long long subs = 0;
        loader_counters(adds, subs);
        if ((adds == walk.list.adds && subs == walk.list.subs) || attempt == 2) return std::move(walk.list);
    }
}

void loader_counters(unsigned long long& adds, unsigned long long& subs) {
#if CALLTRAIL_LOADER_LIST_WITHOUT_LOCK
    if (loader_lock_may_be_lost()) return counters_without_the_lock(adds, subs);
#endif
    unsigned long long counts[2] = {0, 0};
    dl_iterate_phdr(read_counters, counts);
    adds = counts[0];
    subs = counts[1];
}

void name_object(module_description& d) {
    if (d.source == module_source::executable) {
        d.path = executable_path();
        d.name = file_name_of(d.path);
    } else if (d.source == module_source::file && d.path[0] != '/') {
        // Named as the loader was asked, found where the kernel says it is:
        // the working directory may have moved since.
        d.name = file_name_of(d.path);
        if (!d.mapped_path.empty()) d.path = d.mapped_path;
    } else {
        d.name = file_name_of(d.path);
    }
    std::replace(d.name.begin(), d.name.end(), '!', '_');
}

namespace {

// Where an object's code is by its own headers.
void describe_segments(const elf_file& file, module_description& d) {
    for (const load_segment& segment : file.load_segments()) {
        if (segment.memory_size == 0 || segment.address > UINT64_MAX - segment.memory_size) continue;
        if ((segment.flags & PF_X) != 0) d.code.emplace_back(segment.address, segment.address + segment.memory_size);
    }
    file.first_load_address(d.first_load);
}

} // namespace

module_description describe_image(const void* image, std::size_t size, std::string name) {
    module_description d;
    d.source = module_source::memory;
    d.image = image;
    d.image_size = size;
    d.loader_name = d.path = d.name = std::move(name);
    std::replace(d.name.begin(), d.name.end(), '!', '_');
    const std::unique_ptr<elf_file> file = elf_file::copy_of(image, size);
    if (file != nullptr) describe_segments(*file, d);
    return d;
}

module_description describe_file(const elf_file& file, std::string name) {
    module_description d;
    d.source = module_source::file;
    if (const file_source* source = file.source()) {
        d.loader_name = d.path = source->path();
        d.file = source->identity();
    }
    d.name = std::move(name);
    std::replace(d.name.begin(), d.name.end(), '!', '_');
    d.id = file.id();
    describe_segments(file, d);
    return d;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
