#include "platform/posix/unwind/eh_frame.hpp"

#include "platform/posix/unwind/byte_reader.hpp"

#include <cstddef>

namespace korvo {
namespace calltrail {
namespace posix_unwind {
namespace {

// The only table encoding linkers write: signed 32-bit, relative to the
// start of .eh_frame_hdr.
constexpr std::uint8_t table_encoding = pointer_encoding::datarel | pointer_encoding::sdata4;

struct table_entry {
    std::int32_t initial_location;
    std::int32_t description;
};

const std::uint8_t* at(std::uintptr_t address) { return reinterpret_cast<const std::uint8_t*>(address); }

// The FDE whose range starts at or below pc, from the sorted table; null when
// the table is missing or pc is below its first entry.
const std::uint8_t* table_lookup(const loaded_object& object, std::uintptr_t pc) {
    const std::uint8_t* header = object.eh_frame_hdr;
    if (header == nullptr) return nullptr;
    byte_reader in(header, at(object.end));
    const std::uint8_t version = in.u8();
    const std::uint8_t frame_encoding = in.u8();
    const std::uint8_t count_encoding = in.u8();
    const std::uint8_t entry_encoding = in.u8();
    if (!in.ok() || version != 1 || entry_encoding != table_encoding || count_encoding == pointer_encoding::omit)
        return nullptr;
    in.pointer(frame_encoding, reinterpret_cast<std::uintptr_t>(header));
    const std::uintptr_t count = in.pointer(count_encoding, reinterpret_cast<std::uintptr_t>(header));
    if (!in.ok() || count == 0 || count > in.left() / sizeof(table_entry)) return nullptr;
    const auto base = reinterpret_cast<std::uintptr_t>(header);
    const auto* table = in.position();
    const std::intptr_t wanted = static_cast<std::intptr_t>(pc - base);
    std::size_t low = 0;
    std::size_t high = count;
    while (high - low > 1) {
        const std::size_t middle = low + (high - low) / 2;
        table_entry entry;
        std::memcpy(&entry, table + middle * sizeof entry, sizeof entry);
        if (entry.initial_location <= wanted)
            low = middle;
        else
            high = middle;
    }
    table_entry entry;
    std::memcpy(&entry, table + low * sizeof entry, sizeof entry);
    if (entry.initial_location > wanted) return nullptr;
    return at(base + static_cast<std::uintptr_t>(std::intptr_t{entry.description}));
}

// A CIE or FDE record: its length word, then its body up to the next record.
bool record_at(const loaded_object& object, const std::uint8_t* record, byte_reader& body) {
    if (!object.contains(reinterpret_cast<std::uintptr_t>(record))) return false;
    byte_reader in(record, at(object.end));
    std::uint64_t length = in.u32();
    if (length == 0xffffffffu) length = in.u64();
    if (!in.ok() || length == 0 || length > in.left()) return false;
    body = byte_reader(in.position(), in.position() + length);
    return true;
}

struct cie_facts {
    std::uint8_t fde_encoding = pointer_encoding::absptr;
    bool has_augmentation_data = false;
};

bool read_cie(const loaded_object& object, const std::uint8_t* record, frame_description& found, cie_facts& facts) {
    byte_reader in(nullptr, nullptr);
    if (!record_at(object, record, in) || in.u32() != 0) return false;
    const std::uint8_t version = in.u8();
    if (version != 1 && version != 3) return false;
    const auto* augmentation = reinterpret_cast<const char*>(in.position());
    while (in.ok() && in.u8() != 0) {}
    found.code_alignment = in.uleb128();
    found.data_alignment = in.sleb128();
    found.return_address_register = version == 1 ? in.u8() : static_cast<std::uint32_t>(in.uleb128());
    const std::uint8_t* data_end = nullptr;
    for (const char* a = augmentation; in.ok() && *a != '\0'; ++a) {
        if (*a == 'z') {
            const std::uint64_t size = in.uleb128();
            if (size > in.left()) return false;
            data_end = in.position() + size;
            facts.has_augmentation_data = true;
        } else if (*a == 'R') {
            facts.fde_encoding = in.u8();
        } else if (*a == 'L') {
            in.u8();
        } else if (*a == 'P') {
            in.pointer(in.u8());
        } else if (*a == 'S') {
            found.signal_frame = true;
        } else if (data_end == nullptr) {
            return false; // the data of an unknown letter can be passed over only with 'z'
        } else {
            break;
        }
    }
    if (data_end != nullptr) {
        if (in.position() > data_end) return false;
        in.skip(static_cast<std::size_t>(data_end - in.position()));
    }
    found.initial_program = in.position();
    found.initial_program_end = in.position() + in.left();
    return in.ok() && found.code_alignment != 0;
}

} // namespace

bool find_frame_description(const loaded_object& object, std::uintptr_t pc, frame_description& found) {
    const std::uint8_t* record = table_lookup(object, pc);
    byte_reader in(nullptr, nullptr);
    if (record == nullptr || !record_at(object, record, in)) return false;
    const std::uint8_t* cie_pointer_at = in.position();
    const std::uint32_t cie_offset = in.u32();
    if (!in.ok() || cie_offset == 0 || cie_offset > reinterpret_cast<std::uintptr_t>(cie_pointer_at)) return false;
    found = frame_description{};
    cie_facts facts;
    if (!read_cie(object, cie_pointer_at - cie_offset, found, facts)) return false;
    found.pc_begin = in.pointer(facts.fde_encoding);
    const std::uintptr_t range = in.pointer(facts.fde_encoding & 0x0f);
    if (facts.has_augmentation_data) in.skip(static_cast<std::size_t>(in.uleb128()));
    if (!in.ok() || pc < found.pc_begin || pc - found.pc_begin >= range) return false;
    found.pc_end = found.pc_begin + range;
    found.program = in.position();
    found.program_end = in.position() + in.left();
    return true;
}

} // namespace posix_unwind
} // namespace calltrail
} // namespace korvo
