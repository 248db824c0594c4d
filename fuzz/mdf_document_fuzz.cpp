// Opens any bytes as an MDF 4 document and walks every record of every data
// group: the whole path from block tree to decoded frames, once as this
// reader's own recordings and once as any writer's (data lists, compressed
// blocks and standard layouts included).
#include <cstddef>
#include <cstdint>

#include "mdf/block_sequence_stream.h"
#include "bus/record_iterator.h"
#include "bus/record_plan.h"
#include "mdf/mdf_document.h"
#include "log/log.h"
#include "stream/memory_stream.h"

namespace {

int quiet(tolvar::log::LogMessage*, void*) { return 0; }

// Enough to pass every record of the seeds many times over; a damaged file
// that loops would still be caught, since a walk must end on its own.
constexpr uint64_t kMaxRecords = 1u << 20;
// Read for any writer, compressed blocks may stand for more records than
// the input has bytes: every record takes at least one byte, and the blocks
// of a group stand on at most the input's bytes, each inflating to at most
// the deflate ratio of them.
uint64_t max_records(size_t size, bool any_writer) {
    return any_writer ? kMaxRecords + (uint64_t{size} + 1) * (tolvar::mdf::kMaxDeflateRatio + 1) : kMaxRecords;
}

void open_and_walk(tolvar::stream::MemoryStream& stream, size_t size, bool any_writer) {
    const uint64_t limit = max_records(size, any_writer);
    stream.seek(0, tolvar::stream::kSeekSet);
    tolvar::mdf::ParseOptions parse_options;
    parse_options.any_writer = any_writer;
    auto document = tolvar::mdf::MdfDocument::open(&stream, parse_options);
    if (!document) return;
    (void)document->comment_text();
    (void)document->start_time();
    tolvar::bus::PlanOptions plan_options;
    plan_options.any_writer = any_writer;
    const auto plans = tolvar::bus::build_plans(*document, plan_options);
    if (!plans) return;
    for (const auto& plan : *plans) {
        auto iterator = tolvar::bus::RecordIterator::create(&plan, document->start_time());
        if (!iterator) continue;
        uint64_t records = 0;
        for (auto step = iterator->first(); step != tolvar::bus::WalkStep::kEnd; step = iterator->advance()) {
            if (++records > limit) __builtin_trap();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quieted = (tolvar::log::set_output(tolvar::log::kMessage, nullptr, quiet), true);
    (void)quieted;
    tolvar::stream::MemoryStream stream;
    if (size > 0) stream.write(data, size);
    open_and_walk(stream, size, false);
    open_and_walk(stream, size, true);
    return 0;
}
