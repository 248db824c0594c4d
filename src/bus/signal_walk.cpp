#include "bus/signal_walk.h"

#include <new>
#include <optional>
#include <vector>

#include "bus/frame_merge.h"
#include "bus/frame_store.h"
#include "bus/record_iterator.h"
#include "bus/record_plan.h"
#include "bus/signal_writer.h"

namespace tolvar::bus {
namespace {

// Rows a walk adds to its store each time the merge finds the store empty,
// and the rows of each store chunk: small, so that the stores stay small
// beside the tables (and their chunks on the heap, whose pages are reused).
constexpr uint64_t kRefillRows = 4096;

struct Walks final : FrameMerge::Source {
    std::vector<RecordIterator> walks;
    std::vector<FrameStore> stores;
    FrameColumns::StopCheck stop = nullptr;
    void* context = nullptr;

    CollectResult more(size_t group) override {
        if (stop != nullptr && stop(context)) return CollectResult::kStopped;
        const CollectResult result = walks[group].collect(stores[group], kRefillRows);
        if (stop != nullptr && stop(context)) return CollectResult::kStopped;
        return result;
    }
};

ColumnResult failed(CollectResult result) {
    if (result == CollectResult::kNoFrame) return ColumnResult::kNoFrame;
    if (result == CollectResult::kStopped) return ColumnResult::kStopped;
    return ColumnResult::kNoMemory;
}

}  // namespace

ColumnResult decode_frames(const GroupPlan* plans, size_t count, const FrameFilter* filter, double origin,
                           SignalDecoder& decoder, FrameColumns::StopCheck stop, void* context) {
    try {
        Walks walks;
        walks.stop = stop;
        walks.context = context;
        walks.walks.reserve(count);
        for (size_t g = 0; g < count; ++g) {
            std::optional<RecordIterator> walk = RecordIterator::create(&plans[g], origin, filter);
            if (!walk) return ColumnResult::kNoMemory;
            walk->rewind();
            walks.walks.push_back(std::move(*walk));
        }
        walks.stores.resize(count);
        for (FrameStore& store : walks.stores) store.set_largest_chunk(static_cast<uint32_t>(kRefillRows));
        // Unfiltered, every record the recording states is a frame handed
        // to the decoder: its tables can be made room for.
        if (filter == nullptr) decoder.expect(stated_record_count(plans, count));
        FrameMerge merge(walks.stores, &walks);
        if (!merge.start()) return failed(merge.failure());
        SignalWriter writer(decoder);
        // One pass over every row: the decoder takes them as they come, and
        // nothing but its tables outlives a store chunk.
        if (!merge.write_some(writer, UINT64_MAX, UINT64_MAX)) return failed(merge.failure());
        return writer.failed() ? ColumnResult::kNoMemory : ColumnResult::kEnd;
    } catch (const std::bad_alloc&) {
        return ColumnResult::kNoMemory;
    }
}

}  // namespace tolvar::bus
