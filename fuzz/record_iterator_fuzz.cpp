// Any bytes as a file holding a chain of data groups (the first 8 bytes, taken
// as a little-endian number modulo the size, name the first one's offset):
// every group that parses is walked to its end, twice, and every message must
// keep its payload within itself; walked again through a filter whose window
// (taken from the last bytes) needs the search for its start, it gives no
// more frames, each of them inside the window, and its frames go into
// columns whole. Parsed and planned once as this reader's own recordings and
// once as any writer's.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bus/frame_columns.h"
#include "bus/frame_filter.h"
#include "bus/record_iterator.h"
#include "bus/record_plan.h"
#include "log/log.h"
#include "mdf/block_cache.h"
#include "mdf/data_group_block.h"
#include "stream/memory_stream.h"

#include "fuzz_plans.h"

namespace {

int quiet(tolvar::log::LogMessage*, void*) { return 0; }

void check(const tolvar::bus::BusMessage& m) {
    using namespace tolvar::bus;
    const auto* begin = reinterpret_cast<const uint8_t*>(&m);
    const auto* end = begin + sizeof m;
    switch (m.kind) {
        case FrameKind::kNone: break;
        case FrameKind::kCanDataFrame:
        case FrameKind::kCanRemoteFrame:
            if (m.data != m.details.can.payload || m.data_length > kCanPayloadSize) abort();
            break;
        case FrameKind::kCanErrorFrame:
            if (m.data != nullptr || m.data_length != 0) abort();
            if (m.details.error.error_type < 0 || m.details.error.error_type > 5) abort();
            break;
        case FrameKind::kLinFrame:
            if (m.data != m.details.lin.payload || m.data_length > kLinPayloadSize) abort();
            break;
        default: abort();
    }
    if (m.data != nullptr && (m.data < begin || m.data + m.data_length > end)) abort();
}

uint64_t walk(const tolvar::bus::GroupPlan& plan) {
    std::optional<tolvar::bus::RecordIterator> it = tolvar::bus::RecordIterator::create(&plan);
    if (!it) abort();
    uint64_t count = 0;
    tolvar::bus::FrameKind status = tolvar::bus::FrameKind::kNone;
    for (const tolvar::bus::BusMessage* m = it->first(&status); m != nullptr; m = it->advance(&status)) {
        if (status != m->kind) abort();
        check(*m);
        ++count;
    }
    if (it->advance() != nullptr) abort();
    return count;
}

// The filtered walk: never more frames than the plain one, each in the
// window; then the same walk into a store and out through fill_columns.
void filtered_walk(const tolvar::bus::GroupPlan& plan, const uint8_t* data, size_t size, uint64_t frames) {
    using namespace tolvar::bus;
    double start = 0.0;
    double stop = 0.0;
    std::memcpy(&start, data + size - 16, 8);
    std::memcpy(&stop, data + size - 8, 8);
    if (std::isnan(start)) start = 0.0;
    if (std::isnan(stop) || stop < start) stop = start + 1.0;
    FrameFilter filter;
    filter.set_window(0.0, start, stop);
    filter.set_id_filters({{0, 0, -1}});
    std::optional<RecordIterator> it = RecordIterator::create(&plan, &filter);
    if (!it) abort();
    uint64_t count = 0;
    for (const BusMessage* m = it->first(); m != nullptr; m = it->advance()) {
        check(*m);
        if (m->kind != FrameKind::kNone && !filter.in_window(m->time)) abort();
        ++count;
    }
    if (count > frames) abort();
    std::vector<FrameStore> stores(1);
    if (collect(*it, 0.0, stores[0]) != CollectResult::kDone) return;
    const uint64_t rows = stores[0].size();
    std::vector<double> timestamps(rows);
    std::vector<int32_t> offsets(rows + 1);
    std::vector<uint8_t> values(stores[0].payload_bytes());
    ColumnTargets targets;
    targets.timestamp = timestamps.data();
    targets.data_values = values.data();
    targets.offsets32 = offsets.data();
    if (!fill_columns(stores, targets)) abort();
    if (static_cast<uint64_t>(offsets[rows]) != values.size()) abort();
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
