#ifndef KORVO_CALLTRAIL_DETAIL_CRASH_FRAMES_HPP
#define KORVO_CALLTRAIL_DETAIL_CRASH_FRAMES_HPP

// The frames of a crash report: which to show (from the failure down, the
// deepest ones of a stack too deep to list, recursion folded) and the raw
// part's lines for them. Signal-safe throughout. Part of crash_handler.hpp.

#include <korvo/calltrail/detail/crash_text.hpp>
#include <korvo/calltrail/this_thread_frames.hpp>

#include <cstddef>
#include <cstdint>

namespace korvo {
namespace calltrail {
namespace crash_detail {

// The frames listed from the top of a stack, and from its bottom when the
// stack is deeper: in all, the report fits the handler's stack.
const std::size_t top_frames = 64;
const std::size_t bottom_frames = 32;
// The handler's own frames and the signal frame come before the failure.
const std::size_t handler_frames = 16;
// Mutual recursion is folded when its cycle is at most this long.
const std::size_t longest_cycle = 8;

struct report_frame {
    // As the walk gave it: a return address, or the pc a signal interrupted.
    std::uintptr_t address;
    // The byte to look the frame up at: the call before a return address,
    // the instruction itself where the frame is known to hold it.
    std::uintptr_t lookup;
    bool exact;
    // The instruction at lookup is one byte long and may end its function
    // (ret, hlt, int3...): the next function may begin right after it.
    bool may_end_function;

    static report_frame return_address(std::uintptr_t address) {
        report_frame f = {address, address - 1, false, false};
        return f;
    }
    static report_frame at_instruction(std::uintptr_t address, std::uintptr_t instruction, bool may_end_function) {
        report_frame f = {address, instruction, true, may_end_function};
        return f;
    }
    bool same_as(const report_frame& other) const { return address == other.address && exact == other.exact; }
};

// One line of a frames section.
struct section_entry {
    enum kind_type : unsigned char { frame, repeat, not_shown };
    kind_type kind;
    // A frame's number; the first and last frames a line stands for; for a
    // repeat, the frames it repeats (one, or a cycle).
    std::uint32_t first;
    std::uint32_t last;
    std::uint32_t from;
    std::uint32_t to;
    report_frame at;
};

// The lines of one raw frames section, numbered as the walk numbered the
// frames from the failure down.
class frame_section {
public:
    static const std::size_t capacity = handler_frames + top_frames + bottom_frames + 4;

    frame_section() = default;
    frame_section(const frame_section&) = delete;
    frame_section& operator=(const frame_section&) = delete;

    std::size_t size() const { return size_; }
    const section_entry& operator[](std::size_t i) const { return entries_[i]; }

    void add_not_shown(std::size_t first, std::size_t last) {
        section_entry e = {section_entry::not_shown, number(first), number(last), 0, 0, report_frame()};
        add(e);
    }

    // Frames numbered from first_number on; a run that repeats the frame or
    // the short cycle of frames just above it becomes one line.
    void add_frames(const report_frame* frames, std::size_t count, std::size_t first_number) {
        std::size_t listed_from = 0; // frames before this one are folded
        std::size_t i = 0;
        while (i < count) {
            section_entry e = {
                section_entry::frame, number(first_number + i), number(first_number + i), 0, 0, frames[i]};
            add(e);
            std::size_t cycle = 0;
            std::size_t folded = 0;
            for (std::size_t length = 1; length <= longest_cycle && length <= i + 1 - listed_from; ++length) {
                std::size_t repeated = 0;
                while (i + 1 + repeated < count && frames[i + 1 + repeated].same_as(frames[i + 1 + repeated - length]))
                    ++repeated;
                repeated -= repeated % length;
                if (repeated > folded) {
                    folded = repeated;
                    cycle = length;
                }
            }
            if (folded < 2) {
                ++i;
                continue;
            }
            section_entry r = {section_entry::repeat,
                               number(first_number + i + 1),
                               number(first_number + i + folded),
                               number(first_number + i + 1 - cycle),
                               number(first_number + i),
                               report_frame()};
            add(r);
            i += folded + 1;
            listed_from = i;
        }
    }

private:
    static std::uint32_t number(std::size_t n) { return n > 0xffffffffu ? 0xffffffffu : static_cast<std::uint32_t>(n); }

    void add(const section_entry& e) {
        if (size_ < capacity) entries_[size_++] = e;
    }

    section_entry entries_[capacity];
    std::size_t size_ = 0;
};

// Walks of the calling thread's stack, all made from the same frame so that
// their frames are numbered alike: the top of the stack, and its deepest
// frames found by walks that skip what they do not keep.
class stack_walk {
public:
    // Frames [0, count): index 0 lies inside collect, 1 in this object's
    // caller's call, and so on.
    const void* top[handler_frames + top_frames];
    std::size_t top_count = 0;
    const void* bottom[bottom_frames];
    std::size_t bottom_count = 0;
    // Where the bottom frames start, and how deep the stack is.
    std::size_t bottom_start = 0;
    std::size_t depth = 0;

    // The top and, when the stack is deeper, its depth and bottom frames.
    // Noinline, and the same caller for all its walks.
    KORVO_CALLTRAIL_CRASH_NOINLINE void run() {
        top_count = detail::this_thread_frames::collect(top, handler_frames + top_frames, 0);
        depth = top_count;
        if (top_count == handler_frames + top_frames) find_bottom();
        KORVO_CALLTRAIL_CRASH_KEEP_FRAME();
    }

private:
    // Each walk that skips n frames costs n steps: the depth is bracketed by
    // doubling, then halving, and the bottom taken at the end. Inline, so
    // that its walks start one frame deeper than run's, in walk.
    KORVO_CALLTRAIL_CRASH_ALWAYS_INLINE void find_bottom() {
        std::size_t low = top_count; // the stack has at least this many frames
        std::size_t high = 0;        // and at most this many, once known
        for (int walks = 0; walks < 80; ++walks) {
            std::size_t skip = high == 0 ? low * 2 - top_count : low + (high - low) / 2;
            if (high != 0 && high - low <= bottom_frames) skip = high > bottom_frames ? high - bottom_frames : 0;
            const std::size_t got = walk(skip);
            if (got == bottom_frames) {
                low = skip + bottom_frames;
                if (high != 0 && low >= high) break;
            } else if (got > 0) {
                low = high = skip + got;
                break;
            } else {
                high = skip;
                if (high <= low) break;
            }
            if (skip > 0xffffffffu - 2 * bottom_frames) break;
        }
        depth = high != 0 ? high : low;
        bottom_start = depth > top_count + bottom_frames ? depth - bottom_frames : top_count;
        bottom_count = bottom_start < depth ? walk(bottom_start) : 0;
        depth = bottom_start + bottom_count;
    }

    KORVO_CALLTRAIL_CRASH_NOINLINE std::size_t walk(std::size_t skip) {
        // One frame deeper than run's own walk: this function's.
        const std::size_t got = detail::this_thread_frames::collect(bottom, bottom_frames, skip + 1);
        KORVO_CALLTRAIL_CRASH_KEEP_FRAME();
        return got;
    }
};

// The modules that the frames of a report name, each once, in order of first
// use, for the module table after the frames.
template <class Place> class module_list {
public:
    static const std::size_t capacity = 64;

    std::size_t size() const { return size_; }
    const Place& operator[](std::size_t i) const { return places_[i]; }

    void note(const Place& place) {
        for (std::size_t i = 0; i < size_; ++i)
            if (places_[i].same_module(place)) return;
        if (size_ < capacity) places_[size_++] = place;
    }

private:
    Place places_[capacity];
    std::size_t size_ = 0;
};

// The raw part's lines for a section: each frame's number, its address, and
// where its module knows it (FILE OFFSET, as addr2line takes them); repeat
// and not-shown lines in between. The modules named go to the module list.
// Platform::locate(address, place) finds the module that holds an address,
// place.write_file(line) writes its file escaped, and place.offset(address)
// gives the address as its file's.
template <class Platform, class Place>
void write_raw_frames(const frame_section& section, const char* title, module_list<Place>& modules) {
    crash_line line;
    line.text("raw frames").text(title).text(" (addr2line -e FILE OFFSET):").end();
    for (std::size_t i = 0; i < section.size(); ++i) {
        const section_entry& e = section[i];
        line.position(e.first);
        if (e.kind == section_entry::not_shown) {
            line.text("-").number(e.last).text(" not shown").end();
        } else if (e.kind == section_entry::repeat) {
            line.text("-").number(e.last).text(" repeat ").number(e.from);
            if (e.to != e.from) line.text("-").number(e.to);
            line.end();
        } else {
            line.text(" ").address(e.at.address);
            Place place;
            if (Platform::locate(e.at.lookup, place)) {
                line.text(" ");
                place.write_file(line);
                line.text(" 0x").hex(place.offset(e.at.lookup));
                modules.note(place);
            }
            line.end();
        }
    }
}

// What the platform tells of code addresses (Platform::locate, module_of) and
// of the frames of a walk (Platform::classify: which hold their instruction).
//
// The frames section of a walk from where the failure is (index `start`),
// its first `plumbing` frames not shown; the frame at `start` is given.
template <class Platform>
void fill_section(frame_section& section, const stack_walk& walk, std::size_t start, std::size_t plumbing,
                  const report_frame& first) {
    report_frame frames[handler_frames + top_frames];
    const std::size_t listed = walk.top_count - start;
    Platform::classify(walk.top + start, listed, frames);
    frames[0] = first;
    if (plumbing > 0) section.add_not_shown(0, plumbing - 1);
    section.add_frames(frames + plumbing, listed > plumbing ? listed - plumbing : 0, plumbing);
    if (walk.bottom_count == 0) return;
    if (walk.bottom_start > walk.top_count)
        section.add_not_shown(walk.top_count - start, walk.bottom_start - start - 1);
    report_frame deepest[bottom_frames];
    Platform::classify(walk.bottom, walk.bottom_count, deepest);
    section.add_frames(deepest, walk.bottom_count, walk.bottom_start - start);
}

// Frames from `start` on that lie in the same object as the one at `start`
// (the C library, the C++ runtime) and not in the handler's: the plumbing
// between the failure and the code that called for it.
template <class Platform> std::size_t plumbing_frames(const stack_walk& walk, std::size_t start) {
    const void* handler_module = Platform::module_of(reinterpret_cast<std::uintptr_t>(walk.top[1]) - 1);
    const void* runtime = Platform::module_of(reinterpret_cast<std::uintptr_t>(walk.top[start]) - 1);
    if (runtime == nullptr || runtime == handler_module) return 0;
    std::size_t count = 0;
    while (start + count + 1 < walk.top_count &&
           Platform::module_of(reinterpret_cast<std::uintptr_t>(walk.top[start + count]) - 1) == runtime)
        ++count;
    return count;
}

template <class Place> void write_module_table(const module_list<Place>& modules) {
    crash_line line;
    line.text("modules (FILE BUILD-ID):").end();
    for (std::size_t i = 0; i < modules.size(); ++i) {
        line.text("  ");
        modules[i].write_file(line);
        line.text(" ");
        modules[i].write_build_id(line);
        line.end();
    }
}

} // namespace crash_detail
} // namespace calltrail
} // namespace korvo

#endif
