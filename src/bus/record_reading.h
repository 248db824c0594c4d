// Reading a framed record: its bytes and the values of its variable-length
// fields (VLSD values that followed it or found by their offset, values of
// signal-data blocks) as the RecordView a decoder takes. Owns the buffer the
// values are gathered in and the pages of VLSD values read where they lie;
// borrows the plan and its streams.
#pragma once

#include <cstdint>
#include <memory>

#include "bus/frame_decoding.h"
#include "bus/record_framing.h"
#include "stream/byte_buffer.h"
#include "stream/page_cache.h"
#include "stream/read_ahead.h"

namespace tolvar::bus {

class RecordReader {
public:
    RecordReader(const GroupPlan* plan, const RecordFraming& framing)
        : plan_(plan), id_size_(framing.id_size()), with_ids_(framing.with_ids()) {}
    RecordReader(const RecordReader&) = delete;
    RecordReader& operator=(const RecordReader&) = delete;

    // The view of a record that `ahead` holds whole (as framing leaves it),
    // valid until the read-ahead or this reader next moves; false when memory
    // runs out. The signal bytes hold one entry per field with a signal-data
    // source, in layout order, until a signal-block value is kept only in
    // part: every later source gets none. A VLSD value that did not follow
    // the record is the one at the offset the record holds, and empty where
    // no record of its group starts there (counted).
    bool read(const FramedRecord& framed, stream::ReadAhead& ahead, RecordView& view);

    // VLSD values not found at the offsets their records give.
    uint64_t values_not_found() const { return not_found_; }

    // The value of a VLSD source at the offset `record` holds for it: its
    // bytes (valid until the next value is found) and length; false (and
    // counted) where no record of its group starts there.
    bool value_by_offset(const SignalSource& source, ByteSpan record, const uint8_t*& bytes, uint32_t& length);

    // The values of `count` records of one group at the offsets they hold
    // for `source`, found together (their memory asked for at once): up to
    // kCanPayloadSize bytes each into `values`, lengths into `lengths` (0
    // where none is found, counted). Returns how many it filled: fewer than
    // `count` where a value is longer than a payload, which stops them.
    uint32_t bus_values_by_offset(const SignalSource& source, const uint8_t* const* records, uint64_t record_length,
                                  uint32_t count, uint8_t (*values)[kCanPayloadSize], uint32_t* lengths);

private:
    enum class SdResult { kComplete, kCutShort, kNoMemory };
    SdResult append_sd_value(stream::Stream& section, uint64_t offset, uint64_t& budget);
    // Appends the value at the offset the record holds for `source` (an
    // empty one where there is none).
    bool append_by_offset(const SignalSource& source, ByteSpan record);

    const GroupPlan* plan_;  // borrowed
    uint64_t id_size_;
    bool with_ids_;
    stream::ByteBuffer signal_;
    std::unique_ptr<stream::PageCache> values_;  // made on the first value found by its offset
    uint64_t not_found_ = 0;
};

}  // namespace tolvar::bus
