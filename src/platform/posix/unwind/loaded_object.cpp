#include "platform/posix/unwind/loaded_object.hpp"

#include "platform/posix/support/elf_notes.hpp"
#include "platform/posix/unwind/byte_reader.hpp"
#include "platform/posix/unwind/seqlock.hpp"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <exception>
#include <initializer_list>

namespace korvo {
namespace calltrail {
namespace posix_unwind {
namespace {

struct build_id_note {
    std::uintptr_t address = 0; // of the note's header
    std::uint64_t head[2] = {}; // the id's first 16 bytes
    std::uint64_t hash = 0;     // of the whole id
};

std::uint64_t read_u64(std::uintptr_t address) {
    std::uint64_t value;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);
    return value;
}

std::uint64_t mix(std::uint64_t hash, std::uint64_t value) {
    hash = (hash ^ value) * 0x9e3779b97f4a7c15u;
    return hash ^ (hash >> 29);
}

std::uint64_t fold(const std::uint8_t* bytes, std::size_t size, std::uint64_t hash) {
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3u;
    return hash;
}

bool build_id_in(const std::uint8_t* notes, std::size_t size, build_id_note& found) {
    posix_engine::build_id_note note;
    if (!posix_engine::find_build_id_note(notes, size, note) || note.size < 16 || note.size > 64) return false;
    found.address = reinterpret_cast<std::uintptr_t>(note.header);
    found.head[0] = read_u64(found.address + 16);
    found.head[1] = read_u64(found.address + 24);
    found.hash = fold(note.id, note.size, 0xcbf29ce484222325u);
    return true;
}

// The object's program headers, from the ELF header that opens its first
// mapping; every read checked against the object's span.
bool program_headers(const loaded_object& object, const Elf64_Phdr*& headers, std::size_t& count) {
    const auto* base = reinterpret_cast<const std::uint8_t*>(object.start);
    const std::size_t span = object.end - object.start;
    Elf64_Ehdr header;
    if (span < sizeof header) return false;
    std::memcpy(&header, base, sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum > 256 || header.e_phoff > span ||
        std::size_t{header.e_phnum} * sizeof(Elf64_Phdr) > span - header.e_phoff)
        return false;
    headers = reinterpret_cast<const Elf64_Phdr*>(base + header.e_phoff);
    count = header.e_phnum;
    return true;
}

bool find_build_id(const loaded_object& object, build_id_note& found) {
    const Elf64_Phdr* headers = nullptr;
    std::size_t count = 0;
    if (!program_headers(object, headers, count)) return false;
    for (std::size_t i = 0; i < count; ++i) {
        Elf64_Phdr segment;
        std::memcpy(&segment, &headers[i], sizeof segment);
        const std::uintptr_t notes = object.load_bias + segment.p_vaddr;
        if (segment.p_type != PT_NOTE || !object.contains(notes) || segment.p_filesz > object.end - notes) continue;
        if (build_id_in(reinterpret_cast<const std::uint8_t*>(notes), segment.p_filesz, found)) return true;
    }
    return false;
}

// What tells two files apart where their build-ids cannot (none, or one set
// by hand), in words read where they stand: the end of the loader's name
// for the object, the head and the last entry of its table of frame
// descriptions (whose entries are its functions' starts and where their
// rules are), and the head of its build-id.
enum : unsigned { name_word, table_head, table_head_2, table_last, id_head, id_head_2, identity_words };
struct identity {
    std::uint64_t word[identity_words] = {};
};

// The end of the name: paths differ in their file names.
std::uint64_t name_tail(const link_map* map) {
    if (map == nullptr || map->l_name == nullptr) return 0;
    const std::size_t length = std::strlen(map->l_name);
    std::uint64_t tail = length;
    for (std::size_t i = length > 7 ? length - 7 : 0; i < length; ++i)
        tail = tail << 8 | static_cast<std::uint8_t>(map->l_name[i]);
    return tail;
}

// The table's entries, where it has the layout linkers write: version 1, a
// 4-byte count, 8-byte entries.
bool table_of(const loaded_object& object, std::uintptr_t& table, std::uint32_t& count) {
    const auto header = reinterpret_cast<std::uintptr_t>(object.eh_frame_hdr);
    if (header == 0 || !object.contains(header) || object.end - header < 16) return false;
    const auto* bytes = object.eh_frame_hdr;
    if (bytes[0] != 1 || bytes[2] != pointer_encoding::udata4 || bytes[3] != 0x3b) return false;
    std::memcpy(&count, bytes + 8, sizeof count);
    table = header + 12;
    return count != 0 && (object.end - table) / 8 >= count;
}

identity identity_of(const loaded_object& object, const link_map* map, std::uintptr_t note) {
    identity id;
    id.word[name_word] = name_tail(map);
    std::uintptr_t table = 0;
    std::uint32_t count = 0;
    if (table_of(object, table, count)) {
        id.word[table_head] = read_u64(table - 12);
        id.word[table_head_2] = read_u64(table - 4);
        id.word[table_last] = read_u64(table + std::uintptr_t{count - 1} * 8);
    }
    if (note != 0 && note >= object.start && note < object.end && object.end - note >= 32) {
        id.word[id_head] = read_u64(note + 16);
        id.word[id_head_2] = read_u64(note + 24);
    }
    return id;
}

// Where the build-id of an object seen before was, with what identified the
// object: checking that the same still stands there costs a few reads,
// where finding it costs a walk over the program headers and samples of its
// table. Each object has two places, so that two objects a walk meets every
// time do not keep pushing each other out.
enum : unsigned { start_word, map_word, note_word, fingerprint_word, first_identity_word };
constexpr unsigned known_words = first_identity_word + identity_words;
using known_object = seqlock_slot<known_words>;
constexpr unsigned known_object_bits = 9;
known_object known_objects[1u << known_object_bits];

known_object* places_of(std::uintptr_t start) {
    return &known_objects[((start * 0x9e3779b97f4a7c15u) >> (64 - known_object_bits)) & ~1u];
}

std::uint64_t known_fingerprint(const loaded_object& object, const link_map* map) {
    std::uint64_t words[known_words];
    known_object* places = places_of(object.start);
    for (unsigned i = 0; i < 2; ++i) {
        if (!places[i].read(words) || words[start_word] != object.start ||
            words[map_word] != reinterpret_cast<std::uintptr_t>(map))
            continue;
        const identity now = identity_of(object, map, words[note_word]);
        if (std::memcmp(now.word, words + first_identity_word, sizeof now.word) == 0) return words[fingerprint_word];
    }
    return 0;
}

void remember(const loaded_object& object, const link_map* map, std::uintptr_t note, const identity& id,
              std::uint64_t fingerprint) {
    known_object* places = places_of(object.start);
    std::uint64_t words[known_words];
    // The first place unless it holds another object and the second does not.
    const bool first_taken = places[0].read(words) && words[start_word] != object.start;
    const bool second_taken = places[1].read(words) && words[start_word] != object.start;
    known_object& place = first_taken && !second_taken ? places[1] : places[0];
    std::uint64_t in[known_words] = {object.start, reinterpret_cast<std::uintptr_t>(map), note, fingerprint};
    std::memcpy(in + first_identity_word, id.word, sizeof id.word);
    place.write(in);
}

// The identity, the span and the whole build-id and name.
std::uint64_t fingerprint_of(const loaded_object& object, const link_map* map) {
    if (const std::uint64_t known = known_fingerprint(object, map)) return known;
    build_id_note note;
    const bool has_id = find_build_id(object, note);
    const identity id = identity_of(object, map, note.address);
    std::uint64_t hash = mix(mix(object.start, object.end), reinterpret_cast<std::uintptr_t>(map));
    for (const std::uint64_t word : id.word) hash = mix(hash, word);
    hash = mix(hash, has_id ? note.hash : 0);
    if (map != nullptr && map->l_name != nullptr)
        for (unsigned i = 0; i < 256 && map->l_name[i] != '\0'; ++i)
            hash = mix(hash, static_cast<std::uint8_t>(map->l_name[i]));
    const std::uint64_t fingerprint = hash != 0 ? hash : 1;
    remember(object, map, note.address, id, fingerprint);
    return fingerprint;
}

void keep_permanent(std::uintptr_t address) {
    loaded_object found{};
    if (permanent_object_count == most_permanent_objects || address == 0 || !find_loaded_object(address, found)) return;
    for (unsigned i = 0; i < permanent_object_count; ++i)
        if (permanent_objects[i].start == found.start) return;
    permanent_objects[permanent_object_count++] = found;
}

int first_object_code(dl_phdr_info* info, std::size_t, void* code) {
    for (unsigned i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type == PT_LOAD && (info->dlpi_phdr[i].p_flags & PF_X) != 0) {
            *static_cast<std::uintptr_t*>(code) = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
            break;
        }
    }
    return 1; // the program itself comes first
}

// Objects that stay loaded as long as this library: itself, the program,
// the loader and the libraries it depends on. Found once, outside any walk.
__attribute__((constructor)) void find_permanent_objects() {
    keep_permanent(reinterpret_cast<std::uintptr_t>(&find_permanent_objects));
    std::uintptr_t program = 0;
    dl_iterate_phdr(&first_object_code, &program);
    keep_permanent(program);
    keep_permanent(reinterpret_cast<std::uintptr_t>(&_dl_find_object));
    keep_permanent(reinterpret_cast<std::uintptr_t>(&::write));
    keep_permanent(reinterpret_cast<std::uintptr_t>(&std::terminate));
}

} // namespace

bool find_loaded_object(std::uintptr_t address, loaded_object& object) {
    dl_find_object found;
    if (_dl_find_object(reinterpret_cast<void*>(address), &found) != 0) return false;
    object.start = reinterpret_cast<std::uintptr_t>(found.dlfo_map_start);
    object.end = reinterpret_cast<std::uintptr_t>(found.dlfo_map_end);
    object.eh_frame_hdr = static_cast<const std::uint8_t*>(found.dlfo_eh_frame);
    object.load_bias = found.dlfo_link_map != nullptr ? found.dlfo_link_map->l_addr : 0;
    object.fingerprint = fingerprint_of(object, found.dlfo_link_map);
    return object.contains(address);
}

bool executable_code(const loaded_object& object, std::uintptr_t address, std::uintptr_t size) {
    const Elf64_Phdr* headers = nullptr;
    std::size_t count = 0;
    if (!object.contains(address) || !program_headers(object, headers, count)) return false;
    for (std::size_t i = 0; i < count; ++i) {
        Elf64_Phdr segment;
        std::memcpy(&segment, &headers[i], sizeof segment);
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_X) == 0) continue;
        const std::uintptr_t low = object.load_bias + segment.p_vaddr;
        if (address >= low && address - low < segment.p_filesz && size <= segment.p_filesz - (address - low) &&
            object.contains(address + size - 1))
            return true;
    }
    return false;
}

loaded_object permanent_objects[most_permanent_objects];
unsigned permanent_object_count = 0;

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo
