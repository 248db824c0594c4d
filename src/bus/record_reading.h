// Reading a framed record: its bytes and the values of its variable-length
// fields (VLSD values that followed it, values of signal-data blocks) as the
// RecordView a decoder takes. Owns the buffer the values are gathered in;
// borrows the plan's streams through the record group.
#pragma once

#include <cstdint>

#include "bus/frame_decoding.h"
#include "bus/record_framing.h"
#include "stream/byte_buffer.h"
#include "stream/read_ahead.h"

namespace tolvar::bus {

class RecordReader {
public:
    explicit RecordReader(const RecordFraming& framing) : id_size_(framing.id_size()), with_ids_(framing.with_ids()) {}
    RecordReader(const RecordReader&) = delete;
    RecordReader& operator=(const RecordReader&) = delete;

    // The view of a record that `ahead` holds whole (as framing leaves it),
    // valid until the read-ahead or this reader next moves; false when memory
    // runs out. The signal bytes hold one entry per field with a
    // signal-data source, in layout order, until a source has no value (a
    // VLSD value another group's record took the place of, or a signal-block
    // value kept only in part): that one and every later one get none.
    bool read(const FramedRecord& framed, stream::ReadAhead& ahead, RecordView& view);

private:
    enum class SdResult { kComplete, kCutShort, kNoMemory };
    SdResult append_sd_value(stream::Stream& section, uint64_t offset, uint64_t& budget);

    uint64_t id_size_;
    bool with_ids_;
    stream::ByteBuffer signal_;
};

}  // namespace tolvar::bus
