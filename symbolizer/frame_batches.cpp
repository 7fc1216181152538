#include "frame_batches.hpp"

#include <algorithm>
#include <cstdint>
#include <map>
#include <tuple>
#include <utility>

namespace korvo {
namespace calltrail {
namespace offline {

frame_batches::frame_batches(offline_symbolizer& symbolizer, trace_writer& writer, std::function<void()> written)
    : symbolizer_(symbolizer), writer_(writer), written_(std::move(written)) {}

void frame_batches::add(const raw_frame& frame) {
    if (!answered_) {
        answered_ = true;
        writer_.frame(frame);
        return;
    }
    pending_.push_back(frame);
    if (pending_.size() >= most_pending) finish();
}

void frame_batches::finish() {
    if (pending_.size() < 2) {
        for (const raw_frame& f : pending_) writer_.frame(f);
        pending_.clear();
        return;
    }
    struct place {
        // Modules in the order they first come.
        std::size_t module;
        std::uint64_t offset;
        std::size_t index;
    };
    std::vector<place> order;
    order.reserve(pending_.size());
    std::vector<offline_symbolizer::reading_place> places;
    places.reserve(pending_.size());
    std::map<const void*, std::size_t> ranks;
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        places.push_back(symbolizer_.place_of(pending_[i]));
        const std::size_t rank = ranks.emplace(places.back().module, ranks.size()).first->second;
        order.push_back({rank, places.back().offset, i});
    }
    std::sort(order.begin(), order.end(), [](const place& a, const place& b) {
        return std::tie(a.module, a.offset, a.index) < std::tie(b.module, b.offset, b.index);
    });
    std::vector<frame_answer> answers(pending_.size());
    for (const place& p : order)
        answers[p.index] = symbolizer_.look_up(pending_[p.index], reported_id(), &places[p.index]);
    for (std::size_t i = 0; i < pending_.size(); ++i) {
        writer_.frame(pending_[i], answers[i]);
        if (written_) written_();
    }
    pending_.clear();
}

} // namespace offline
} // namespace calltrail
} // namespace korvo
