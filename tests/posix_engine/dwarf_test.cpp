// The stand-in's own reading of DWARF checked against libdw's, address by
// address, over objects built here in several forms and the C library: the
// same line for code that is not inlined, and for inlined code the line
// that entered the outermost inlined function.
#include <gtest/gtest.h>

#include <dwarf.h>
#include <elfutils/libdw.h>
#include <fcntl.h>
#include <link.h>
#include <dlfcn.h>
#include <unistd.h>
#include <valgrind/valgrind.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "attached_symbols.hpp"
#include "known_library.hpp"
#include "platform/posix/dwarf/dwarf_constants.hpp"

namespace {

// The reader's own DWARF codes have the values libdw's header gives them.
#define PAIR(code)                                                                                                     \
    { korvo::calltrail::posix_engine::code, ::code }
// clang-format off
constexpr int dwarf_codes[][2] = {
    PAIR(DW_UT_compile), PAIR(DW_UT_type), PAIR(DW_UT_skeleton), PAIR(DW_UT_split_compile), PAIR(DW_UT_split_type),
    PAIR(DW_TAG_array_type), PAIR(DW_TAG_class_type), PAIR(DW_TAG_enumeration_type), PAIR(DW_TAG_compile_unit),
    PAIR(DW_TAG_structure_type), PAIR(DW_TAG_subroutine_type), PAIR(DW_TAG_union_type),
    PAIR(DW_TAG_inlined_subroutine), PAIR(DW_TAG_subprogram), PAIR(DW_TAG_skeleton_unit), PAIR(DW_AT_sibling),
    PAIR(DW_AT_stmt_list), PAIR(DW_AT_low_pc), PAIR(DW_AT_high_pc), PAIR(DW_AT_comp_dir), PAIR(DW_AT_ranges),
    PAIR(DW_AT_call_file), PAIR(DW_AT_call_line), PAIR(DW_AT_str_offsets_base), PAIR(DW_AT_addr_base),
    PAIR(DW_AT_rnglists_base), PAIR(DW_AT_dwo_name), PAIR(DW_AT_GNU_dwo_name), PAIR(DW_AT_GNU_dwo_id),
    PAIR(DW_AT_GNU_ranges_base), PAIR(DW_AT_GNU_addr_base), PAIR(DW_AT_name), PAIR(DW_AT_abstract_origin),
    PAIR(DW_AT_specification), PAIR(DW_AT_linkage_name), PAIR(DW_AT_MIPS_linkage_name), PAIR(DW_FORM_addr),
    PAIR(DW_FORM_block2),
    PAIR(DW_FORM_block4), PAIR(DW_FORM_data2), PAIR(DW_FORM_data4), PAIR(DW_FORM_data8), PAIR(DW_FORM_string),
    PAIR(DW_FORM_block), PAIR(DW_FORM_block1), PAIR(DW_FORM_data1), PAIR(DW_FORM_flag), PAIR(DW_FORM_sdata),
    PAIR(DW_FORM_strp), PAIR(DW_FORM_udata), PAIR(DW_FORM_ref_addr), PAIR(DW_FORM_ref1), PAIR(DW_FORM_ref2),
    PAIR(DW_FORM_ref4), PAIR(DW_FORM_ref8), PAIR(DW_FORM_ref_udata), PAIR(DW_FORM_indirect), PAIR(DW_FORM_sec_offset),
    PAIR(DW_FORM_exprloc), PAIR(DW_FORM_flag_present), PAIR(DW_FORM_strx), PAIR(DW_FORM_addrx),
    PAIR(DW_FORM_ref_sup4), PAIR(DW_FORM_strp_sup), PAIR(DW_FORM_data16), PAIR(DW_FORM_line_strp),
    PAIR(DW_FORM_ref_sig8), PAIR(DW_FORM_implicit_const), PAIR(DW_FORM_loclistx), PAIR(DW_FORM_rnglistx),
    PAIR(DW_FORM_ref_sup8), PAIR(DW_FORM_strx1), PAIR(DW_FORM_strx2), PAIR(DW_FORM_strx3), PAIR(DW_FORM_strx4),
    PAIR(DW_FORM_addrx1), PAIR(DW_FORM_addrx2), PAIR(DW_FORM_addrx3), PAIR(DW_FORM_addrx4),
    PAIR(DW_FORM_GNU_addr_index), PAIR(DW_FORM_GNU_str_index), PAIR(DW_FORM_GNU_ref_alt), PAIR(DW_FORM_GNU_strp_alt),
    PAIR(DW_LNS_copy), PAIR(DW_LNS_advance_pc), PAIR(DW_LNS_advance_line), PAIR(DW_LNS_set_file),
    PAIR(DW_LNS_const_add_pc), PAIR(DW_LNS_fixed_advance_pc), PAIR(DW_LNE_end_sequence), PAIR(DW_LNE_set_address),
    PAIR(DW_LNE_define_file), PAIR(DW_LNCT_path), PAIR(DW_LNCT_directory_index), PAIR(DW_RLE_end_of_list),
    PAIR(DW_RLE_base_addressx), PAIR(DW_RLE_startx_endx), PAIR(DW_RLE_startx_length), PAIR(DW_RLE_offset_pair),
    PAIR(DW_RLE_base_address), PAIR(DW_RLE_start_end), PAIR(DW_RLE_start_length),
};
// clang-format on
#undef PAIR
constexpr bool same_codes() {
    for (const auto& code : dwarf_codes)
        if (code[0] != code[1]) return false;
    return true;
}
static_assert(same_codes(), "a DWARF code of the reader differs from <dwarf.h>");

using posix_engine_test::attached_symbols;
using posix_engine_test::offset_of;

struct loaded_object {
    std::string loader_name;
    std::uint64_t bias = 0;
    bool found = false;
};

int find_object(dl_phdr_info* info, std::size_t, void* data) {
    auto& object = *static_cast<loaded_object*>(data);
    const char* name = info->dlpi_name != nullptr ? info->dlpi_name : "";
    const bool wanted =
        object.loader_name.empty() ? name[0] == '\0' : std::strstr(name, object.loader_name.c_str()) != nullptr;
    if (!wanted) return 0;
    object.bias = info->dlpi_addr;
    object.found = true;
    return 1;
}

// What libdw says for a link-time address, in the terms the engine answers.
struct reference {
    bool found = false;
    std::string file;
    int line = 0;
};

// The outermost inlined instance holding an address inside a function that
// holds it: the first inlined entry on the way down through lexical blocks
// (libdw's dwarf_getscopes stops at the innermost).
bool find_outermost_inline(Dwarf_Die* parent, Dwarf_Addr address, Dwarf_Die* found) {
    Dwarf_Die child;
    if (dwarf_child(parent, &child) != 0) return false;
    do {
        const int tag = dwarf_tag(&child);
        if (tag != DW_TAG_inlined_subroutine && tag != DW_TAG_lexical_block) continue;
        if (dwarf_haspc(&child, address) != 1) continue;
        if (tag == DW_TAG_inlined_subroutine) {
            *found = child;
            return true;
        }
        if (find_outermost_inline(&child, address, found)) return true;
    } while (dwarf_siblingof(&child, &child) == 0);
    return false;
}

// Every function with code in a unit, wherever its entry stands: a lambda's
// stands in its closure type inside the function that made it, which does
// not hold its code. In the order of the entries, so nested ones come after
// those around them.
void collect_functions(Dwarf_Die* parent, std::vector<Dwarf_Die>& functions) {
    Dwarf_Die child;
    if (dwarf_child(parent, &child) != 0) return;
    do {
        if (dwarf_tag(&child) == DW_TAG_subprogram) {
            Dwarf_Addr base = 0;
            Dwarf_Addr low = 0;
            Dwarf_Addr high = 0;
            // Code the linker discarded is left at address 0.
            if (dwarf_ranges(&child, 0, &base, &low, &high) > 0 && low != 0) functions.push_back(child);
        }
        if (dwarf_haschildren(&child) == 1) collect_functions(&child, functions);
    } while (dwarf_siblingof(&child, &child) == 0);
}

// The units of an object with the code ranges of each, found by walking
// the units: compilers that write no .debug_aranges are read too.
struct unit_ranges {
    Dwarf_Die unit;
    std::vector<std::pair<Dwarf_Addr, Dwarf_Addr>> ranges;
    std::vector<Dwarf_Die> functions;
    bool functions_collected = false;
};

std::vector<unit_ranges> units_of(Dwarf* dwarf) {
    std::vector<unit_ranges> units;
    Dwarf_Off offset = 0;
    Dwarf_Off next = 0;
    std::size_t header_size = 0;
    while (dwarf_nextcu(dwarf, offset, &next, &header_size, nullptr, nullptr, nullptr) == 0) {
        unit_ranges u;
        if (dwarf_offdie(dwarf, offset + header_size, &u.unit) != nullptr) {
            Dwarf_Addr base = 0;
            Dwarf_Addr low = 0;
            Dwarf_Addr high = 0;
            for (ptrdiff_t at = 0; (at = dwarf_ranges(&u.unit, at, &base, &low, &high)) > 0;)
                if (low != 0 && high > low) u.ranges.emplace_back(low, high);
            if (!u.ranges.empty()) units.push_back(u);
        }
        offset = next;
    }
    return units;
}

reference libdw_answer(unit_ranges& found, Dwarf_Addr address) {
    reference r;
    if (!found.functions_collected) {
        collect_functions(&found.unit, found.functions);
        found.functions_collected = true;
    }
    Dwarf_Die unit = found.unit;
    Dwarf_Die* function = nullptr;
    for (Dwarf_Die& f : found.functions)
        if (dwarf_haspc(&f, address) == 1) function = &f;
    Dwarf_Die site;
    if (function != nullptr && find_outermost_inline(function, address, &site)) {
        Dwarf_Attribute attribute;
        Dwarf_Word file = 0;
        Dwarf_Word line = 0;
        Dwarf_Files* files = nullptr;
        std::size_t file_count = 0;
        if (dwarf_formudata(dwarf_attr(&site, DW_AT_call_file, &attribute), &file) == 0 &&
            dwarf_formudata(dwarf_attr(&site, DW_AT_call_line, &attribute), &line) == 0 &&
            dwarf_getsrcfiles(&unit, &files, &file_count) == 0 && file < file_count && line > 0) {
            const char* path = dwarf_filesrc(files, file, nullptr, nullptr);
            if (path != nullptr) {
                r.found = true;
                r.file = path;
                r.line = static_cast<int>(line);
            }
        }
    } else if (Dwarf_Line* line = dwarf_getsrc_die(&unit, address)) {
        int number = 0;
        const char* path = dwarf_linesrc(line, nullptr, nullptr);
        if (dwarf_lineno(line, &number) == 0 && path != nullptr && number > 0) {
            r.found = true;
            r.file = path;
            r.line = number;
        }
    }
    return r;
}

// What each unit that claims the address says: two units may describe the
// same code (a template's copy that the linker kept for both), and either
// is an answer.
std::vector<reference> libdw_answers(std::vector<unit_ranges>& units, Dwarf_Addr address) {
    std::vector<reference> answers;
    for (unit_ranges& u : units)
        for (const auto& range : u.ranges)
            if (address >= range.first && address < range.second) {
                const reference r = libdw_answer(u, address);
                if (r.found) answers.push_back(r);
                break;
            }
    return answers;
}

// libdw leaves a relative directory relative; the engine puts the
// compilation directory before it.
bool same_file(const std::string& ours, const std::string& theirs) {
    if (ours == theirs) return true;
    if (theirs.empty() || theirs[0] == '/') return false;
    return ours.size() > theirs.size() && ours.compare(ours.size() - theirs.size(), theirs.size(), theirs) == 0 &&
           ours[ours.size() - theirs.size() - 1] == '/';
}

struct comparison {
    int checked = 0;
    int mismatches = 0;
    int only_ours = 0;
    std::string first_mismatches;
};

// Compares every `stride`-th byte of the code that libdw knows of.
comparison compare_object(const char* loader_name, const char* debug_path, std::size_t most_samples) {
    comparison result;
    loaded_object object;
    object.loader_name = loader_name;
    dl_iterate_phdr(find_object, &object);
    if (!object.found) {
        result.first_mismatches = std::string("not loaded: ") + loader_name;
        result.mismatches = 1;
        return result;
    }
    const int fd = open(debug_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        result.first_mismatches = std::string("cannot open ") + debug_path;
        result.mismatches = 1;
        return result;
    }
    Dwarf* dwarf = dwarf_begin(fd, DWARF_C_READ);
    if (dwarf == nullptr) {
        close(fd);
        result.first_mismatches = std::string("libdw cannot read ") + debug_path;
        result.mismatches = 1;
        return result;
    }
    std::vector<unit_ranges> units = units_of(dwarf);
    std::uint64_t total = 0;
    for (const unit_ranges& u : units)
        for (const auto& range : u.ranges) total += range.second - range.first;
    const std::uint64_t stride = total / most_samples + 1;

    const attached_symbols symbols;
    std::uint64_t position = 0;
    for (const unit_ranges& u : units)
        for (const auto& range : u.ranges)
            for (Dwarf_Addr at = range.first + 1; at <= range.second; ++at, ++position) {
                if (position % stride != 0) continue;
                const void* runtime = reinterpret_cast<const void*>(object.bias + at);
                ULONG64 displacement = 1;
                char name[4];
                symbols.get()->GetNameByOffset(offset_of(runtime), name, sizeof name, nullptr, &displacement);
                // The engine describes an address by the byte before it unless a
                // function starts there.
                const std::vector<reference> expected = libdw_answers(units, displacement == 0 ? at : at - 1);
                ULONG line = 0;
                const std::string file = symbols.file(runtime, &line);
                ++result.checked;
                if (expected.empty()) {
                    if (!file.empty()) ++result.only_ours;
                    continue;
                }
                if (std::any_of(expected.begin(), expected.end(), [&](const reference& r) {
                        return same_file(file, r.file) && line == static_cast<ULONG>(r.line);
                    }))
                    continue;
                if (++result.mismatches <= 5) {
                    char text[64];
                    std::snprintf(text, sizeof text, "%#llx: ", static_cast<unsigned long long>(at));
                    result.first_mismatches += text + file + ":" + std::to_string(line) + " but libdw " +
                                               expected[0].file + ":" + std::to_string(expected[0].line) + "\n";
                }
            }
    dwarf_end(dwarf);
    close(fd);
    return result;
}

void expect_agreement(const char* loader_name, const char* debug_path, std::size_t most_samples) {
    SCOPED_TRACE(debug_path);
    const comparison c = compare_object(loader_name, debug_path, most_samples);
    EXPECT_GT(c.checked, 0);
    EXPECT_EQ(c.mismatches, 0) << c.first_mismatches;
    std::cout << debug_path << ": " << c.checked << " addresses, " << c.only_ours << " with a line only here\n";
}

std::string file_name(const std::string& path) { return path.substr(path.rfind('/') + 1); }

TEST(posix_engine_dwarf, lines_agree_with_libdw_in_the_libraries_built_here) {
    // Linked in, so loaded: make sure of it.
    probe p;
    p.capture = &posix_engine_test::capture_stack;
    known::call_inlined(&p);
    known::call_deep_path(&p);
    Dl_info info;
    ASSERT_NE(dladdr(reinterpret_cast<const void*>(&known::call_inlined), &info), 0);
    expect_agreement(file_name(info.dli_fname).c_str(), info.dli_fname, 100000);
    ASSERT_NE(dladdr(reinterpret_cast<const void*>(&known::call_deep_path), &info), 0);
    expect_agreement(file_name(info.dli_fname).c_str(), info.dli_fname, 100000);
}

TEST(posix_engine_dwarf, lines_agree_with_libdw_in_each_form_of_debug_information) {
    const struct {
        const char* library;
        std::string debug;
        bool valgrind_loads; // valgrind 3.19's own reader gives up on 64-bit DWARF
    } forms[] = {
        {POSIX_ENGINE_FORMS_PLAIN, POSIX_ENGINE_FORMS_PLAIN, true},
        {POSIX_ENGINE_FORMS_DWARF4, POSIX_ENGINE_FORMS_DWARF4, true},
        {POSIX_ENGINE_FORMS_DWARF64, POSIX_ENGINE_FORMS_DWARF64, false},
        {POSIX_ENGINE_FORMS_COMPRESSED, POSIX_ENGINE_FORMS_COMPRESSED, true},
        {POSIX_ENGINE_FORMS_DEBUGLINK, std::string(POSIX_ENGINE_FORMS_DEBUGLINK) + ".dbg", true},
    };
    for (const auto& form : forms) {
        if (!form.valgrind_loads && RUNNING_ON_VALGRIND) {
            std::cout << "note: not loaded under valgrind: " << form.library << "\n";
            continue;
        }
        void* handle = dlopen(form.library, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        expect_agreement(file_name(form.library).c_str(), form.debug.c_str(), 100000);
        dlclose(handle);
    }
}

TEST(posix_engine_dwarf, lines_agree_with_libdw_in_this_program) {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    ASSERT_GT(length, 0);
    path[length] = '\0';
    expect_agreement("", path, 8000);
}

TEST(posix_engine_dwarf, lines_agree_with_libdw_in_the_c_library) {
    const std::string debug = posix_engine_test::c_library_debug_file();
    if (debug.empty() || access(debug.c_str(), R_OK) != 0)
        GTEST_SKIP() << "the C library's debug file is not installed";
    expect_agreement("/libc.so.6", debug.c_str(), 20000);
}

} // namespace
