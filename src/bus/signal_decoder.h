// SignalDecoder: CAN data frames, as iteration delivers them, decoded by a
// SignalProgram into one MessageTable per message: a row per frame whose
// channel, identifier and kind a message of the program matches. Per frame a
// look-up, the row's own columns stored and its payload copied aside; once a
// message has a batch of rows waiting, each signal is decoded for all of them
// in one loop (a load, shifts and a multiply-add per row, into consecutive
// values of its column). Nothing is allocated but a table's next growth and
// a message's batch room, once. Borrows the program, which must outlive it;
// owns the tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "bus/frame.h"
#include "bus/signal_program.h"
#include "bus/signal_tables.h"
#include "stream/allocation.h"

namespace tolvar::bus {

// One frame as the column path hands it over.
struct CanFrameView {
    double timestamp = 0.0;       // absolute, as the message's timestamp
    uint32_t arbitration_id = 0;  // 29 bits, flag bits removed
    // FrameFlag bits (frame.h): 0 extended, 1 remote, 2 error,
    // 3 FD, 4 bit rate switch, 5 error state indicator, 6 received.
    uint8_t flags = 0;
    uint16_t channel = 0;  // "CAN n" is n, "LIN n" 256 + n
    uint8_t length = 0;    // payload bytes, at most 64
    // At least 64 bytes readable; those past `length` never change a result.
    const uint8_t* payload = nullptr;
};

class SignalDecoder {
public:
    // With `row_numbers`, every table has a column of each row's place among
    // the frames handed to the decoder (from 0; every frame counts, decoded
    // or not).
    explicit SignalDecoder(const SignalProgram& program, bool row_numbers = false);
    SignalDecoder(SignalDecoder&&) noexcept = default;
    SignalDecoder(const SignalDecoder&) = delete;
    SignalDecoder& operator=(const SignalDecoder&) = delete;

    // Adds the frame's row to its message's table when it is a CAN data
    // frame (not remote, not error, not LIN) that a message of the program
    // matches; other frames are passed over. False only when memory runs
    // out, the row then not added.
    bool append(const CanFrameView& frame);
    // The same for `count` frames in order; false when memory runs out,
    // with the frames before the one that failed added.
    bool append(const CanFrameView* frames, size_t count);
    // The same for a frame as the column path holds it: payload_length(frame)
    // bytes at `payload`, from which at least 64 bytes can be read.
    bool append(const Frame& frame, const uint8_t* payload) {
        return add(frame.timestamp, frame.id, frame.flags, frame.channel, frame.dlc, payload);
    }

    // About how many frames will be handed over, where the caller knows (a
    // recording's stated record count): once a share of them has come, each
    // table is made room for the rows its share so far foretells, so that
    // its columns are not copied by doubling as they grow. Only a hint: a
    // table that outgrows it (or whose room cannot be had then) grows as
    // before; nothing is made room for before frames have come.
    void expect(uint64_t frames);

    // The frames handed over so far.
    uint64_t frames() const { return frames_; }

    // One table per table of the program, in its order; a table no frame
    // matched has no rows. Rows still waiting in a batch are decoded first,
    // so that every row handed over has its values.
    std::vector<MessageTable>& tables() {
        decode_waiting();
        return tables_;
    }
    const std::vector<MessageTable>& tables() const {
        decode_waiting();
        return tables_;
    }

    // Rows a message's batch holds before its signals are decoded.
    static constexpr uint32_t kBatchRows = 64;

private:
    // The payloads of a message's rows not decoded yet: rows first .. first +
    // count - 1 of its table, `stride` bytes each (what its loads read).
    struct Batch {
        stream::Allocation payloads;  // kBatchRows x stride, made at the message's first row
        uint64_t first = 0;
        uint32_t count = 0;
        uint32_t stride = 0;
    };

    bool add(double timestamp, uint32_t identifier, uint8_t flags, uint16_t channel, uint8_t length,
             const uint8_t* payload);
    // Decodes table t's waiting rows, whose columns lie ready for them.
    void decode_batch(size_t t) const;
    // One signal of every row of a batch, into its column.
    void decode_column(const SignalStep& step, const Batch& batch, uint8_t* const* columns) const;
    // The signals of a batch's rows that their multiplexers do not select,
    // made absent.
    void clear_unselected(const MessageProgram& message, const Batch& batch, uint8_t* const* columns) const;
    void decode_waiting() const;
    // Each table's room, from its rows among the frames so far (expect()).
    void reserve_ahead();
    void decode_present(const MessageProgram& message, const uint8_t* payload, unsigned available,
                        MessageTable& table, uint64_t row);

    const SignalProgram* program_;  // borrowed
    std::vector<MessageTable> tables_;
    // Per table. Decoding a batch changes no row a caller can see (the rows
    // count from the moment they are added), so the tables' const accessor
    // decodes what waits too.
    mutable std::vector<Batch> batches_;
    mutable std::vector<uint64_t> slots_;  // a multiplexer's raw value while its frame is decoded
    mutable std::vector<uint8_t> slot_present_;
    uint64_t frames_ = 0;
    uint64_t expected_ = 0;
    uint64_t foretell_at_ = 0;  // frames_ at which reserve_ahead() runs; 0: never
};

}  // namespace tolvar::bus
