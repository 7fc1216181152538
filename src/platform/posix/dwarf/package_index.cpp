#include "platform/posix/dwarf/package_index.hpp"

#include "platform/posix/dwarf/dwarf_cursor.hpp"

namespace korvo {
namespace calltrail {
namespace posix_engine {

namespace {

// Column kinds; the GNU index (version 2) numbers only those it shares with
// DWARF 5 alike, and has no range lists.
constexpr std::uint32_t sect_info = 1;
constexpr std::uint32_t sect_abbrev = 3;
constexpr std::uint32_t sect_str_offsets = 6;
constexpr std::uint32_t sect_rnglists_v5 = 8;

constexpr std::size_t header_size = 16;

} // namespace

bool package_index::read(section_data* cu_index) {
    if (cu_index == nullptr) return false;
    dwarf_cursor cursor(cu_index, 0, cu_index->size());
    // DWARF 5 writes a 2-byte version and 2 bytes of padding.
    version_ = cursor.u32();
    columns_ = cursor.u32();
    units_ = cursor.u32();
    slots_ = cursor.u32();
    if (!cursor.ok() || (version_ != 2 && version_ != 5) || columns_ == 0 || columns_ > 64 || slots_ == 0 ||
        (slots_ & (slots_ - 1)) != 0 || units_ > slots_)
        return false;
    // Hash table, row numbers, column kinds, then offsets and sizes per row.
    const std::uint64_t needed =
        header_size + std::uint64_t{slots_} * 12 + std::uint64_t{columns_} * 4 + std::uint64_t{units_} * columns_ * 8;
    if (needed > cu_index->size()) return false;
    section_ = cu_index;
    return read_columns();
}

bool package_index::read_columns() {
    dwarf_cursor cursor(section_, header_size + std::size_t{slots_} * 12, section_->size());
    for (std::uint32_t column = 0; column < columns_; ++column) {
        const std::uint32_t kind = cursor.u32();
        const int here = static_cast<int>(column);
        if (kind == sect_info)
            info_ = here;
        else if (kind == sect_abbrev)
            abbrev_ = here;
        else if (kind == sect_str_offsets)
            str_offsets_ = here;
        else if (kind == sect_rnglists_v5 && version_ == 5)
            rnglists_ = here;
    }
    return cursor.ok() && info_ >= 0 && abbrev_ >= 0;
}

bool package_index::find(std::uint64_t unit_id, unit_contribution& out) const {
    if (section_ == nullptr) return false;
    const std::uint64_t mask = slots_ - 1;
    std::uint64_t slot = unit_id & mask;
    const std::uint64_t step = ((unit_id >> 32) & mask) | 1;
    dwarf_cursor cursor(section_, 0, section_->size());
    for (std::uint32_t probes = 0; probes < slots_; ++probes) {
        cursor.seek(header_size + static_cast<std::size_t>(slot) * 8);
        const std::uint64_t id = cursor.u64();
        cursor.seek(header_size + std::size_t{slots_} * 8 + static_cast<std::size_t>(slot) * 4);
        const std::uint32_t row = cursor.u32();
        if (!cursor.ok() || row == 0) return false;
        if (id == unit_id) return row <= units_ && read_row(row, out);
        slot = (slot + step) & mask;
    }
    return false;
}

bool package_index::read_row(std::uint32_t row, unit_contribution& out) const {
    const std::size_t offsets = header_size + std::size_t{slots_} * 12 + std::size_t{columns_} * 4;
    const std::size_t row_bytes = std::size_t{columns_} * 4;
    const std::size_t sizes = offsets + std::size_t{units_} * row_bytes;
    dwarf_cursor cursor(section_, 0, section_->size());
    auto value = [&](std::size_t table, int column) -> std::uint64_t {
        if (column < 0) return 0;
        cursor.seek(table + (row - 1) * row_bytes + static_cast<std::size_t>(column) * 4);
        return cursor.u32();
    };
    out.info_offset = value(offsets, info_);
    out.info_size = value(sizes, info_);
    out.abbrev_offset = value(offsets, abbrev_);
    out.str_offsets_offset = value(offsets, str_offsets_);
    out.rnglists_offset = value(offsets, rnglists_);
    return cursor.ok() && out.info_size != 0;
}

} // namespace posix_engine
} // namespace calltrail
} // namespace korvo
