// Any bytes as a file holding a chain of data groups (the first 8 bytes, taken
// as a little-endian number modulo the size, name the first one's offset):
// every group that parses is walked to its end, twice, and every message must
// keep its payload within itself. Parsed and planned once as this reader's
// own recordings and once as any writer's.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "bus/record_iterator.h"
#include "bus/record_plan.h"
#include "log/log.h"
#include "mdf/block_cache.h"
#include "mdf/data_group_block.h"
#include "stream/memory_stream.h"

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
        tolvar::mdf::BlockList groups;
        {
            tolvar::mdf::ParseOptions options;
            options.any_writer = any_writer;
            tolvar::mdf::BlockCache cache(options);
            if (!tolvar::mdf::parse_block_into(stream, first, cache, &groups)) continue;
        }
        size_t index = 0;
        for (const tolvar::mdf::BlockRef& ref : groups) {
            const auto* group = tolvar::mdf::as<tolvar::mdf::DgBlock>(ref);
            if (group == nullptr) continue;
            const std::optional<tolvar::bus::GroupPlan> plan =
                any_writer ? tolvar::bus::GroupPlan::build_standard(*group, ++index, static_cast<int64_t>(size))
                           : tolvar::bus::GroupPlan::build(*group);
            if (!plan) continue;
            // A walk is repeatable: first starts it again from the beginning.
            if (walk(*plan) != walk(*plan)) abort();
        }
    }
    stream.close();
    return 0;
}
