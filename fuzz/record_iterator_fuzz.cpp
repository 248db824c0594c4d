// Any bytes as a file holding a chain of data groups (the first 8 bytes, taken
// as a little-endian number modulo the size, name the first one's offset):
// every group that parses is walked to its end, twice, and every frame must
// be one a message can show, its payload readable; walked again through a
// filter whose window (taken from the last bytes) needs the search for its
// start, it gives no more frames, each of them inside the window, and as
// many go into a store. Parsed and planned once as this reader's own
// recordings and once as any writer's.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bus/frame_filter.h"
#include "bus/frame_store.h"
#include "bus/record_iterator.h"
#include "bus/record_plan.h"
#include "log/log.h"
#include "mdf/block_cache.h"
#include "mdf/data_group_block.h"
#include "stream/memory_stream.h"

#include "fuzz_plans.h"

namespace {

using namespace tolvar::bus;

int quiet(tolvar::log::LogMessage*, void*) { return 0; }

// A frame as a message shows it: one kind, a channel of that kind, a payload
// within the kind's size where a payload is.
void check(const DecodedRecord& r) {
    const Frame& f = r.frame;
    const bool remote = has_flag(f, kFlagRemote);
    const bool error = has_flag(f, kFlagError);
    if (remote && error) abort();
    if (f.channel >= kChannelCount || f.id > 0x1FFFFFFFu) abort();
    const FrameKind kind = kind_of(f);
    if (kind == FrameKind::kLinFrame && (f.dlc > kLinPayloadSize || has_flag(f, kFlagExtended))) abort();
    if (f.dlc > kCanPayloadSize) abort();
    if (error && f.dlc != 0) abort();
    const uint64_t length = payload_length(f);
    if (length != 0) {
        if (r.payload == nullptr) abort();
        // Every byte of it can be read.
        volatile uint8_t sum = 0;
        for (uint64_t i = 0; i < length; ++i) sum = static_cast<uint8_t>(sum + r.payload[i]);
    }
}

uint64_t walk(const GroupPlan& plan) {
    std::optional<RecordIterator> it = RecordIterator::create(&plan, 0.0);
    if (!it) abort();
    uint64_t count = 0;
    for (WalkStep step = it->first(); step != WalkStep::kEnd; step = it->advance()) {
        if (step == WalkStep::kFrame) check(it->current());
        ++count;
    }
    if (it->advance() != WalkStep::kEnd) abort();
    return count;
}

// The filtered walk: never more frames than the plain one, each in the
// window; then the same walk into a store gives as many rows.
void filtered_walk(const GroupPlan& plan, const uint8_t* data, size_t size, uint64_t frames) {
    double start = 0.0;
    double stop = 0.0;
    std::memcpy(&start, data + size - 16, 8);
    std::memcpy(&stop, data + size - 8, 8);
    if (std::isnan(start)) start = 0.0;
    if (std::isnan(stop) || stop < start) stop = start + 1.0;
    FrameFilter filter;
    filter.set_window(start, stop);
    filter.set_id_filters({{0, 0, -1}});
    std::optional<RecordIterator> it = RecordIterator::create(&plan, 0.0, &filter);
    if (!it) abort();
    uint64_t count = 0;
    bool no_frame = false;
    for (WalkStep step = it->first(); step != WalkStep::kEnd; step = it->advance()) {
        if (step == WalkStep::kFrame) {
            check(it->current());
            if (!filter.in_window(it->current().frame.timestamp)) abort();
        } else {
            no_frame = true;
        }
        ++count;
    }
    if (count > frames) abort();
    FrameStore store;
    it->rewind();
    const CollectResult result = it->collect(store);
    if (result == CollectResult::kNoFrame && !no_frame) abort();
    if (result == CollectResult::kDone && (no_frame || store.appended() != count)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tolvar::log::set_output(tolvar::log::kMessage, nullptr, quiet);
    if (size < 8) return 0;
    uint64_t first = 0;
    std::memcpy(&first, data, 8);
    first %= size;

    tolvar::stream::MemoryStream stream;
    stream.write(data, size);
    for (const bool any_writer : {false, true}) {
        const FuzzPlans parsed = plans_of(stream, first, size, any_writer);
        for (const tolvar::bus::GroupPlan& plan : parsed.plans) {
            // A walk is repeatable: first starts it again from the beginning.
            const uint64_t frames = walk(plan);
            if (walk(plan) != frames) abort();
            if (size >= 24) filtered_walk(plan, data, size, frames);
        }
    }
    stream.close();
    return 0;
}
