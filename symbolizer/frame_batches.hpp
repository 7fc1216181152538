#ifndef KORVO_CALLTRAIL_SYMBOLIZER_FRAME_BATCHES_HPP
#define KORVO_CALLTRAIL_SYMBOLIZER_FRAME_BATCHES_HPP

// Frames that stand alone in the input, gathered while more input is at
// hand and looked up in the order their debug information lies in, written
// in the order of the input. A compressed section is inflated from its start
// as far as a unit needs, and ahead of the reader where a core is free: in
// address order the units of a large library come in no order of theirs,
// and each lookup would wait for the bytes before its unit.

#include <cstddef>
#include <functional>
#include <vector>

#include "offline_symbolizer.hpp"
#include "report_input.hpp"
#include "trace_writer.hpp"

namespace korvo {
namespace calltrail {
namespace offline {

class frame_batches {
public:
    // A read of short lines holds hundreds of thousands: what is gathered,
    // and the answers made of it, stay within a few megabytes.
    static constexpr std::size_t most_pending = 16384;

    // `written` is called after each frame written, so that the caller can
    // pass on what has piled up: the text of a whole batch with its inline
    // calls runs to megabytes.
    frame_batches(offline_symbolizer& symbolizer, trace_writer& writer, std::function<void()> written = {});

    // The first frame of all is answered at once, for a reader waiting on it.
    void add(const raw_frame& frame);
    // Looks up and writes what was gathered.
    void finish();

private:
    offline_symbolizer& symbolizer_;
    trace_writer& writer_;
    std::function<void()> written_;
    bool answered_ = false;
    std::vector<raw_frame> pending_;
};

} // namespace offline
} // namespace calltrail
} // namespace korvo

#endif
