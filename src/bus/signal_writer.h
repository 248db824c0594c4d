// SignalWriter: the writer a FrameMerge hands merged rows to when signals are
// decoded: each row goes straight to a SignalDecoder, from the store chunk it
// lies in (whose room lets 64 bytes be read from every payload), without a
// copy; the chunks the merge is done with are freed. Borrows the decoder.
#pragma once

#include <cstdint>

#include "bus/column_writer.h"
#include "bus/frame.h"
#include "bus/frame_store.h"
#include "bus/signal_decoder.h"

namespace tolvar::bus {

class SignalWriter {
public:
    using Shape = ColumnWriter::Shape;

    explicit SignalWriter(SignalDecoder& decoder) : decoder_(decoder) {}

    // Every row alike: the merge needs no column of its own.
    Shape shape() const { return Shape::kGeneral; }

    template <Shape>
    void emit(const Frame& row, const uint8_t* payload) {
        if (!failed_ && !decoder_.append(row, payload)) failed_ = true;
    }

    void retire(FrameStore::Chunk& chunk) { chunk.memory = stream::Allocation(); }

    // The rows handed over; once memory ran out, the most there can be, which
    // ends the merge's steps (FrameMerge::write_some).
    uint64_t rows() const { return failed_ ? UINT64_MAX : decoder_.frames(); }
    uint64_t payload_written() const { return 0; }

    // Whether a row could not be added for want of memory.
    bool failed() const { return failed_; }

private:
    SignalDecoder& decoder_;
    bool failed_ = false;
};

}  // namespace tolvar::bus
