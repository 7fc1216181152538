#include "platform/posix/unwind/loaded_object.hpp"

#include "platform/posix/unwind/seqlock.hpp"
#include "platform/posix/support/elf_notes.hpp"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstddef>
#include <cstring>

namespace korvo {
namespace calltrail {
namespace posix_unwind {
namespace {

// Every object's first page holds its ELF header, so it is mapped for as
// long as any object starts there.
constexpr std::uintptr_t first_page = 4096;

struct build_id_note {
    std::uintptr_t address = 0; // of the note's header
    std::uint64_t sizes = 0;    // the header's name and description sizes
    std::uint64_t head[2] = {}; // the id's first 16 bytes
    std::uint64_t fingerprint = 0;
};

std::uint64_t read_u64(std::uintptr_t address) {
    std::uint64_t value;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);
    return value;
}

// Build-ids are hashes already; folding them with the load address keeps
// all their bits.
std::uint64_t fold(const std::uint8_t* bytes, std::size_t size, std::uint64_t seed) {
    std::uint64_t hash = seed ^ 0x9e3779b97f4a7c15u;
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 0x100000001b3u;
    return hash != 0 ? hash : 1;
}

bool build_id_in(const std::uint8_t* notes, std::size_t size, std::uintptr_t start, build_id_note& found) {
    posix_engine::build_id_note note;
    if (!posix_engine::find_build_id_note(notes, size, note) || note.size < 16 || note.size > 64) return false;
    found.address = reinterpret_cast<std::uintptr_t>(note.header);
    found.sizes = read_u64(found.address);
    found.head[0] = read_u64(found.address + 16);
    found.head[1] = read_u64(found.address + 24);
    found.fingerprint = fold(note.id, note.size, start);
    return true;
}

// The object's ELF header opens its first mapping; its program headers lead
// to the build-id note. Every read is checked against the object's span.
bool find_build_id(const loaded_object& object, std::uintptr_t load_bias, build_id_note& found) {
    const auto* base = reinterpret_cast<const std::uint8_t*>(object.start);
    const std::size_t span = object.end - object.start;
    Elf64_Ehdr header;
    if (span < sizeof header) return false;
    std::memcpy(&header, base, sizeof header);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_phentsize != sizeof(Elf64_Phdr) || header.e_phnum > 256 || header.e_phoff > span ||
        std::size_t{header.e_phnum} * sizeof(Elf64_Phdr) > span - header.e_phoff)
        return false;
    for (std::size_t i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment;
        std::memcpy(&segment, base + header.e_phoff + i * sizeof segment, sizeof segment);
        const std::uintptr_t notes = load_bias + segment.p_vaddr;
        if (segment.p_type != PT_NOTE || !object.contains(notes) || segment.p_filesz > object.end - notes) continue;
        if (build_id_in(reinterpret_cast<const std::uint8_t*>(notes), segment.p_filesz, object.start, found))
            return true;
    }
    return false;
}

// Where the build-id of an object seen before was: checking that the same id
// still stands there costs a few reads, where finding it costs a walk over
// the program headers. Only notes in the first page are kept.
// Each object has two places, so that two objects a walk meets every time
// do not keep pushing each other out.
enum : unsigned { start_word, note_word, sizes_word, head_word, head_word_2, fingerprint_word, word_count };
using known_note = seqlock_slot<word_count>;
constexpr unsigned known_note_bits = 7;
known_note known_notes[1u << known_note_bits];

known_note* places_of(std::uintptr_t start) {
    return &known_notes[((start * 0x9e3779b97f4a7c15u) >> (64 - known_note_bits)) & ~1u];
}

std::uint64_t known_fingerprint(const loaded_object& object) {
    std::uint64_t words[word_count];
    known_note* places = places_of(object.start);
    if (!(places[0].read(words) && words[start_word] == object.start) &&
        !(places[1].read(words) && words[start_word] == object.start))
        return 0;
    const std::uintptr_t note = words[note_word];
    if (note < object.start || note + 32 > object.start + first_page || note + 32 > object.end) return 0;
    // Sixteen bytes of a build-id where they stood: another object there
    // would have to carry the same id.
    const bool same = read_u64(note + 16) == words[head_word] && read_u64(note + 24) == words[head_word_2] &&
                      read_u64(note) == words[sizes_word];
    return same ? words[fingerprint_word] : 0;
}

void remember(const loaded_object& object, const build_id_note& note) {
    known_note* places = places_of(object.start);
    std::uint64_t words[word_count];
    // The first place unless it holds another object and the second does not.
    const bool first_taken = places[0].read(words) && words[start_word] != object.start;
    const bool second_taken = places[1].read(words) && words[start_word] != object.start;
    known_note& place = first_taken && !second_taken ? places[1] : places[0];
    place.write({object.start, note.address, note.sizes, note.head[0], note.head[1], note.fingerprint});
}

std::uint64_t fingerprint_of(const loaded_object& object, std::uintptr_t load_bias) {
    if (const std::uint64_t known = known_fingerprint(object)) return known;
    build_id_note note;
    if (!find_build_id(object, load_bias, note)) return 0;
    if (note.address + 32 <= object.start + first_page) remember(object, note);
    return note.fingerprint;
}

__attribute__((constructor)) void find_this_library() {
    loaded_object found{};
    if (find_loaded_object(reinterpret_cast<std::uintptr_t>(&find_this_library), found)) this_library = found;
}

} // namespace

bool find_loaded_object(std::uintptr_t address, loaded_object& object) {
    dl_find_object found;
    if (_dl_find_object(reinterpret_cast<void*>(address), &found) != 0) return false;
    object.start = reinterpret_cast<std::uintptr_t>(found.dlfo_map_start);
    object.end = reinterpret_cast<std::uintptr_t>(found.dlfo_map_end);
    object.eh_frame_hdr = static_cast<const std::uint8_t*>(found.dlfo_eh_frame);
    const std::uintptr_t load_bias = found.dlfo_link_map != nullptr ? found.dlfo_link_map->l_addr : 0;
    object.fingerprint = fingerprint_of(object, load_bias);
    return object.contains(address);
}

loaded_object this_library;

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo
