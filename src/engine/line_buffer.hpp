#ifndef KORVO_CALLTRAIL_ENGINE_LINE_BUFFER_HPP
#define KORVO_CALLTRAIL_ENGINE_LINE_BUFFER_HPP

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "escaped_text.hpp"

namespace korvo {
namespace calltrail {

// The pieces of a trace's lines, gathered on the stack and appended to the
// text a few lines at a time: growing the text once per piece cost more
// than copying the pieces. A piece larger than the room goes straight in.
class line_buffer {
public:
    explicit line_buffer(std::string& out) noexcept : out_(out) {}
    line_buffer(const line_buffer&) = delete;
    line_buffer& operator=(const line_buffer&) = delete;

    void add(std::string_view piece) {
        if (piece.size() > sizeof room_ - used_) {
            flush();
            if (piece.size() > sizeof room_) {
                out_.append(piece.data(), piece.size());
                return;
            }
        }
        std::memcpy(room_ + used_, piece.data(), piece.size());
        used_ += piece.size();
    }
    void add(char c) {
        if (used_ == sizeof room_) flush();
        room_[used_++] = c;
    }
    // A text that holds a control character, escaped.
    void add_escaped(std::string_view text) {
        flush();
        append_escaped(out_, text);
    }
    // Everything gathered goes into the text; nothing else does until then.
    void flush() {
        out_.append(room_, used_);
        used_ = 0;
    }

private:
    std::string& out_;
    std::size_t used_ = 0;
    char room_[512];
};

} // namespace calltrail
} // namespace korvo

#endif
