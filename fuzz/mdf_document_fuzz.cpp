// Opens any bytes as an MDF 4 document and walks every record of every data
// group: the whole path from block tree to decoded frames.
#include <cstddef>
#include <cstdint>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quieted = (tolvar::log::set_output(tolvar::log::kMessage, nullptr, quiet), true);
    (void)quieted;
    tolvar::stream::MemoryStream stream;
    if (size > 0) stream.write(data, size);
    stream.seek(0, tolvar::stream::kSeekSet);
    auto document = tolvar::mdf::MdfDocument::open(&stream);
    if (!document) return 0;
    (void)document->comment_text();
    (void)document->start_time();
    const auto plans = tolvar::bus::build_plans(*document);
    if (!plans) return 0;
    for (const auto& plan : *plans) {
        auto iterator = tolvar::bus::RecordIterator::create(&plan);
        if (!iterator) continue;
        uint64_t records = 0;
        for (auto* m = iterator->first(); m != nullptr; m = iterator->advance()) {
            if (++records > kMaxRecords) __builtin_trap();
        }
    }
    return 0;
}
