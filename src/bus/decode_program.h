// Decoding prepared once per record group. The decoders walk a layout field
// by field through the general rules; a DecodeProgram is the same walk
// worked out at plan time for one record length and one decoder: how each
// field is read (one load, shift and mask for an Intel integer wholly inside
// the record, one load for an aligned double, a pointer for payload bytes)
// and which fields have no effect at all. It gives exactly what the decoder
// gives for every record of that length; a record of another length goes
// through the general rules. A program borrows its layout. Here too: CAN
// data frames of a straight program decoded a batch at a time.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "bus/frame.h"
#include "bus/record_layout.h"
#include "bus/value_extraction.h"

namespace tolvar::bus {

// The steps of one record group's decoder.
struct DecodeProgram {
    FrameKind decoder = FrameKind::kNone;  // the kind its decoder writes
    uint64_t record_length = 0;
    const RecordLayout* layout = nullptr;  // null: not prepared
    std::vector<FieldStep> steps;
    // A CAN data frame whose every value comes from one field, each integer
    // an unconverted Intel integer inside the record, and whose signal
    // entries (if any) are its payload's alone: the order of the fields then
    // changes nothing, and each value is read straight from where it lies.
    struct IntegerRead {
        uint64_t byte = 0;
        uint64_t mask = 0;  // 0 where no field holds the value: it stays 0
        uint8_t shift = 0;
        bool near_end = true;  // fewer than 8 bytes from `byte` to the record's end
    };
    enum CanDataValue : uint8_t { kId, kIde, kDir, kDlc, kDataLength, kEdl, kBrs, kEsi, kBus, kCanDataValues };
    bool straight = false;
    IntegerRead can_data[kCanDataValues];  // when straight
    int32_t time_step = -1;     // the step of the time, -1: none
    int32_t payload_step = -1;  // the step of the payload, -1: none
};

// The program of the decoder that writes `kind` for records of
// `record_length` bytes laid out as `layout` (which must outlive it and no
// longer change). Throws std::bad_alloc.
DecodeProgram prepare_decoding(const RecordLayout& layout, uint64_t record_length, FrameKind kind);

// The value an IntegerRead takes from a record of the program's length.
__attribute__((always_inline)) inline uint64_t integer_of(const DecodeProgram::IntegerRead& r, ByteSpan record) {
    uint64_t word;
    if (!r.near_end) {
        std::memcpy(&word, record.data + r.byte, sizeof word);
    } else {
        word = reads::load_le(record, r.byte);
    }
    return (word >> r.shift) & r.mask;
}

// Decodes one record of a straight CAN data program (of its length) into
// `frame`, its timestamp counted from `origin`: exactly what the decoder
// gives. `payload` gets the frame's payload: where it lies, or put together
// in `scratch` (kCanPayloadSize bytes) where zeros follow what is present.
// False, with nothing written, when the payload's signal entry is too long
// for a frame: the program's steps then decode the record.
bool decode_straight(const DecodeProgram& program, const StandardLayout& standard, ByteSpan record, ByteSpan signal,
                     double origin, Frame& frame, const uint8_t*& payload, uint8_t* scratch);

// CAN data frames decoded a batch at a time: frame i is what decoding record
// i gives. A payload is `present[i]` bytes at `payload[i]` followed by zeros
// up to the frame's dlc; it points where it lies, valid as long as the
// records are. `keep[i]`: whether the frame is delivered (a filter may pass
// over it).
struct FrameBatch {
    static constexpr uint32_t kSize = 256;
    uint32_t count = 0;
    Frame frames[kSize];
    const uint8_t* payload[kSize];
    uint32_t present[kSize];
    uint8_t keep[kSize];
};

// Decodes `count` (at most FrameBatch::kSize) whole records of a straight
// CAN data program into `batch`, their timestamps counted from `origin`. A
// payload held in the record is set here; one held in a VLSD value must be
// set in batch.payload and batch.present by the caller beforehand (the
// value's bytes and length, at most a CAN payload's; nullptr and 0 for an
// empty one).
void decode_can_data_batch(const DecodeProgram& program, const StandardLayout& standard, double origin,
                           const uint8_t* const* records, uint32_t count, FrameBatch& batch);

// Decodes of the same records only what an identifier or channel filter
// judges: each frame's identifier, extended flag and channel, as
// decode_can_data_batch would give them (nothing else of the frames is set).
void decode_can_data_keys(const DecodeProgram& program, const StandardLayout& standard, const uint8_t* const* records,
                          uint32_t count, Frame* frames);

}  // namespace tolvar::bus
