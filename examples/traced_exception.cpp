// An exception that carries the stack of the place that threw it.
//
// The addresses are captured when the exception is made, which is cheap; they
// are turned into text only if somebody asks, usually in a handler far away.
#include <korvo/calltrail/calltrail.hpp>

#include <cstdio>
#include <stdexcept>
#include <string>

class traced_error : public std::runtime_error {
public:
    // Out of line, so that the frame skipped below is this constructor.
    __attribute__((noinline)) explicit traced_error(const std::string& message) : std::runtime_error(message) {
        // Skip collect and this constructor: the trace starts at the throw.
        count_ = korvo::calltrail::detail::this_thread_frames::collect(addresses_, max_frames, 2);
    }

    std::string trace() const {
        korvo::calltrail::frame frames[max_frames];
        for (std::size_t i = 0; i < count_; ++i) frames[i] = korvo::calltrail::frame(addresses_[i]);
        return korvo::calltrail::detail::to_string(frames, count_);
    }

private:
    static constexpr std::size_t max_frames = 32;
    const void* addresses_[max_frames];
    std::size_t count_ = 0;
};

__attribute__((noinline)) void parse_header(const std::string& text) {
    if (text.empty()) throw traced_error("empty header");
}

__attribute__((noinline)) void load_document(const std::string& text) {
    parse_header(text);
    std::puts("loaded");
}

int main() {
    try {
        load_document("");
    } catch (const traced_error& error) {
        std::printf("caught: %s\n%s", error.what(), error.trace().c_str());
    }
    return 0;
}
