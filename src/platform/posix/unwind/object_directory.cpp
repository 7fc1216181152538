#include "platform/posix/unwind/object_directory.hpp"

#include "platform/posix/unwind/byte_reader.hpp"
#include "platform/posix/unwind/seqlock.hpp"

#include <link.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <exception>

namespace korvo {
namespace calltrail {
namespace posix_unwind {

namespace directory_detail {
std::atomic<std::uint64_t> epoch{1};
std::uint32_t permanent_count = 0;
} // namespace directory_detail

namespace {

using directory_detail::epoch;
using directory_detail::permanent_count;

std::uint64_t read_u64(std::uintptr_t address) {
    std::uint64_t value;
    std::memcpy(&value, reinterpret_cast<const void*>(address), sizeof value);
    return value;
}

// What tells two files loaded at one address apart where their build-ids
// cannot (none, or one set by hand), in words read where they stand: the
// loader's name for the object (its length and last bytes), the head, the
// count and the last entry of its table of frame descriptions (whose entries
// are its functions' starts and where their rules are), and the head of its
// build-id.
enum : unsigned { name_length, name_tail, table_head, table_count, table_last, id_head, id_head_2, identity_words };

// Where the identity is read besides the loader's name, found once when an
// object is identified and kept in its record: the table's last entry (0
// where the table has not the layout linkers write: version 1, a 4-byte
// count, 8-byte entries) and the build-id note (0 where there is none in the
// object's first page). A record is checked against whatever object is
// found where it was: a table at the same place with the same count has its
// last entry at the same place, and an object's first page is mapped.
struct identity_places {
    std::uintptr_t start;
    const std::uint8_t* header;
    std::uintptr_t last_entry;
    std::uintptr_t note;
};

constexpr std::uintptr_t first_page = 4096;

identity_places places_in(const loaded_object& object, std::uintptr_t note) {
    identity_places places{object.start, object.eh_frame_hdr, 0, 0};
    const auto at = reinterpret_cast<std::uintptr_t>(object.eh_frame_hdr);
    const std::uint8_t* header = object.eh_frame_hdr;
    std::uint32_t count = 0;
    if (at >= object.start && at < object.end && object.end - at >= 16 && header[0] == 1 &&
        header[2] == pointer_encoding::udata4 && header[3] == 0x3b) {
        std::memcpy(&count, header + 8, sizeof count);
        if (count != 0 && (object.end - at - 12) / 8 >= count)
            places.last_entry = at + 12 + std::uintptr_t{count - 1} * 8;
    }
    if (note >= object.start && note - object.start <= first_page - 32 && object.end - note >= 32) places.note = note;
    return places;
}

// The identity's words in order, each handed to `take`, which ends the
// reading by answering false: the same reading makes a record and checks it.
template <class Take>
__attribute__((always_inline)) inline bool read_identity(const link_map* map, const identity_places& places,
                                                         Take take) {
    std::uint64_t length = 0;
    std::uint64_t tail = 0;
    if (map != nullptr && map->l_name != nullptr) {
        length = std::strlen(map->l_name);
        if (length >= 8)
            std::memcpy(&tail, map->l_name + length - 8, 8);
        else
            for (std::size_t i = 0; i < length; ++i) tail = tail << 8 | static_cast<std::uint8_t>(map->l_name[i]);
    }
    if (!take(name_length, length) || !take(name_tail, tail)) return false;
    if (places.last_entry != 0) {
        // The count is read once the head agrees, the last entry once the
        // count does and puts it where the record does.
        const auto at = reinterpret_cast<std::uintptr_t>(places.header);
        if (!take(table_head, read_u64(at))) return false;
        std::uint32_t count;
        std::memcpy(&count, places.header + 8, sizeof count);
        if (!take(table_count, count) || count == 0 || places.last_entry != at + 12 + std::uintptr_t{count - 1} * 8 ||
            !take(table_last, read_u64(places.last_entry)))
            return false;
    }
    if (places.note == 0) return true;
    return places.note >= places.start && places.note - places.start <= first_page - 32 &&
           take(id_head, read_u64(places.note + 16)) && take(id_head_2, read_u64(places.note + 24));
}

// A record: the object as _dl_find_object gave it, where its identity is
// read, and the identity; the epoch it belongs to (0 for the permanent ones,
// which belong to all).
enum : unsigned {
    epoch_word,
    start_word,
    end_word,
    bias_word,
    table_word,
    map_word,
    last_entry_word,
    note_word,
    first_identity_word
};
constexpr unsigned record_words = first_identity_word + identity_words;
using record = seqlock_slot<record_words>;
record records[directory_size];
std::atomic<std::uint32_t> record_count{0};

// Where the record of an object starting at an address was last made or
// found (its index + 1): the first place a walk looks.
constexpr unsigned hint_bits = 11;
std::atomic<std::uint16_t> hints[1u << hint_bits];

std::atomic<std::uint16_t>& hint_for(std::uintptr_t start) {
    return hints[(start * 0x9e3779b97f4a7c15u) >> (64 - hint_bits)];
}

constexpr unsigned most_permanent = 6;
loaded_object permanent[most_permanent];

struct record_view {
    std::uint64_t word[record_words];
};

bool same_object(const record_view& r, const loaded_object& object, const link_map* map) {
    return r.word[start_word] == object.start && r.word[end_word] == object.end &&
           r.word[bias_word] == object.load_bias &&
           r.word[table_word] == reinterpret_cast<std::uintptr_t>(object.eh_frame_hdr) &&
           r.word[map_word] == reinterpret_cast<std::uintptr_t>(map);
}

bool same_identity(const record_view& r, const link_map* map) {
    const identity_places places{r.word[start_word], reinterpret_cast<const std::uint8_t*>(r.word[table_word]),
                                 r.word[last_entry_word], r.word[note_word]};
    return read_identity(map, places,
                         [&r](unsigned i, std::uint64_t word) { return r.word[first_identity_word + i] == word; });
}

// Whether record `index` is the object found at an address now, in this
// walk's epoch; marks it checked when it is.
bool matches(checked_objects& checked, std::uint32_t index, const loaded_object& object, const link_map* map) {
    record_view r;
    if (!records[index].read(r.word) || r.word[epoch_word] != checked.epoch || !same_object(r, object, map))
        return false;
    if (!checked.has(index)) {
        if (!same_identity(r, map)) return false;
        checked.add(index);
    }
    return true;
}

std::uint32_t find_record(checked_objects& checked, const loaded_object& object, const link_map* map) {
    std::atomic<std::uint16_t>& hint = hint_for(object.start);
    const std::uint32_t hinted = hint.load(std::memory_order_relaxed);
    if (hinted > permanent_count && hinted <= directory_size && matches(checked, hinted - 1, object, map))
        return hinted - 1;
    const std::uint32_t count = record_count.load(std::memory_order_acquire);
    for (std::uint32_t i = permanent_count; i < count && i < directory_size; ++i) {
        if (records[i].word[start_word].load(std::memory_order_relaxed) != object.start ||
            !matches(checked, i, object, map))
            continue;
        hint.store(static_cast<std::uint16_t>(i + 1), std::memory_order_relaxed);
        return i;
    }
    return no_record;
}

// A new record in the walk's epoch; when the directory is full, the next
// epoch begins, empty but for the permanent records.
std::uint32_t add_record(std::uint64_t walk_epoch, const std::uint64_t (&words)[record_words]) {
    for (unsigned attempt = 0; attempt < 4; ++attempt) {
        std::uint32_t count = record_count.load(std::memory_order_acquire);
        if (epoch.load(std::memory_order_acquire) != walk_epoch) return no_record;
        if (count >= directory_size) {
            std::uint64_t expected = walk_epoch;
            if (epoch.compare_exchange_strong(expected, walk_epoch + 1, std::memory_order_acq_rel))
                record_count.store(permanent_count, std::memory_order_release);
            return no_record;
        }
        if (!record_count.compare_exchange_weak(count, count + 1, std::memory_order_acq_rel)) continue;
        if (!records[count].write(words)) return no_record;
        hint_for(words[start_word]).store(static_cast<std::uint16_t>(count + 1), std::memory_order_relaxed);
        return count;
    }
    return no_record;
}

void fill_words(std::uint64_t (&words)[record_words], std::uint64_t record_epoch, const loaded_object& object,
                const link_map* map, std::uintptr_t note) {
    const identity_places places = places_in(object, note);
    std::uint64_t id[identity_words] = {};
    read_identity(map, places, [&id](unsigned i, std::uint64_t word) {
        id[i] = word;
        return true;
    });
    const std::uint64_t head[first_identity_word] = {record_epoch,
                                                     object.start,
                                                     object.end,
                                                     object.load_bias,
                                                     reinterpret_cast<std::uintptr_t>(object.eh_frame_hdr),
                                                     reinterpret_cast<std::uintptr_t>(map),
                                                     places.last_entry,
                                                     places.note};
    std::memcpy(words, head, sizeof head);
    std::memcpy(words + first_identity_word, id, sizeof id);
}

void keep_permanent(std::uintptr_t address) {
    loaded_object found{};
    const link_map* map = nullptr;
    if (permanent_count == most_permanent || address == 0 || !find_loaded_object(address, found, map)) return;
    for (unsigned i = 0; i < permanent_count; ++i)
        if (permanent[i].start == found.start) return;
    std::uint64_t words[record_words];
    fill_words(words, 0, found, map, build_id_note(found));
    records[permanent_count].write(words);
    permanent[permanent_count++] = found;
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

// Found once, outside any walk, when this library is loaded.
__attribute__((constructor)) void find_permanent_objects() {
    keep_permanent(reinterpret_cast<std::uintptr_t>(&find_permanent_objects));
    std::uintptr_t program = 0;
    dl_iterate_phdr(&first_object_code, &program);
    keep_permanent(program);
    keep_permanent(reinterpret_cast<std::uintptr_t>(&_dl_find_object));
    keep_permanent(reinterpret_cast<std::uintptr_t>(&::write));
    keep_permanent(reinterpret_cast<std::uintptr_t>(&std::terminate));
    record_count.store(permanent_count, std::memory_order_release);
    // Rules cached by a walk that ran before this (in a handler, while the
    // library was being loaded) name records now taken by permanent ones.
    epoch.fetch_add(1, std::memory_order_acq_rel);
}

} // namespace

// Once per record per walk, and on the way of every walk through many
// libraries: the record's words are compared where they stand. The load
// bias follows from the start and the loader's record of the object.
bool check_object(checked_objects& checked, std::uint32_t index, std::uintptr_t return_address) {
    if (index < permanent_count) {
        checked.add(index);
        return true;
    }
    dl_find_object found;
    if (index >= directory_size || _dl_find_object(reinterpret_cast<void*>(return_address - 1), &found) != 0)
        return false;
    const record* in = &records[index];
    // Its words at fixed distances from one pointer, not each from the
    // array's address.
    __asm__("" : "+r"(in));
    const record& r = *in;
    const std::uint64_t before = r.read_begin();
    if (r.load(epoch_word) != checked.epoch ||
        r.load(start_word) != reinterpret_cast<std::uintptr_t>(found.dlfo_map_start) ||
        r.load(end_word) != reinterpret_cast<std::uintptr_t>(found.dlfo_map_end) ||
        r.load(table_word) != reinterpret_cast<std::uintptr_t>(found.dlfo_eh_frame) ||
        r.load(map_word) != reinterpret_cast<std::uintptr_t>(found.dlfo_link_map))
        return false;
    const identity_places places{reinterpret_cast<std::uintptr_t>(found.dlfo_map_start),
                                 static_cast<const std::uint8_t*>(found.dlfo_eh_frame), r.load(last_entry_word),
                                 r.load(note_word)};
    if (!read_identity(found.dlfo_link_map, places,
                       [&r](unsigned i, std::uint64_t word) { return r.load(first_identity_word + i) == word; }) ||
        !r.read_end(before))
        return false;
    checked.add(index);
    return true;
}

bool identify_object(checked_objects& checked, std::uintptr_t address, loaded_object& object, std::uint32_t& index) {
    for (std::uint32_t i = 0; i < permanent_count; ++i) {
        if (permanent[i].contains(address)) {
            object = permanent[i];
            index = i;
            return true;
        }
    }
    const link_map* map = nullptr;
    if (!find_loaded_object(address, object, map)) return false;
    index = find_record(checked, object, map);
    if (index != no_record) return true;
    std::uint64_t words[record_words];
    fill_words(words, checked.epoch, object, map, build_id_note(object));
    index = add_record(checked.epoch, words);
    if (index != no_record) checked.add(index);
    return true;
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo
