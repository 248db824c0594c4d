// The decoded frame of one record (BusMessage), what a frame decoder receives
// (RecordView) and what it returns (FrameKind). Plain values: a message
// owns its payload bytes; a view borrows the record, signal bytes and layout.
#pragma once

#include <cstdint>

namespace tolvar::bus {

class RecordLayout;

// A borrowed run of bytes.
struct ByteSpan {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
};

// What a record decodes to: the kind of frame a decoder wrote, or none (a
// group that is no bus event, a record a decoder rejects, or the end of a walk).
enum class FrameKind : int32_t {
    kNone = 0,
    kCanDataFrame = 1,
    kCanRemoteFrame = 2,
    kCanErrorFrame = 3,
    kLinFrame = 4,
};

constexpr uint64_t kCanPayloadSize = 64;
constexpr uint64_t kLinPayloadSize = 8;

// CAN data and remote frames. Flags hold 0 or 1.
struct CanFrameDetails {
    uint8_t extended;   // extended (29-bit) identifier
    uint8_t direction;  // 0 received, otherwise transmitted
    uint8_t fd;         // extended data length: a CAN FD frame
    uint8_t esi;        // error state indicator
    uint8_t brs;        // bit rate switch
    uint8_t remote;     // 1 for a remote frame
    uint8_t bus;        // bus channel number
    uint8_t dlc;        // data length code as recorded
    uint8_t payload[kCanPayloadSize];
};

// CAN error frames.
struct CanErrorDetails {
    uint8_t bus;
    int32_t error_type;  // 0 to 5
};

// LIN frames.
struct LinFrameDetails {
    uint8_t direction;  // 0 received, otherwise transmitted
    uint8_t bus;
    uint8_t received_byte_count;
    uint8_t payload[kLinPayloadSize];
};

// One decoded frame. `data` points into this message's own payload (CAN data
// and remote frames, LIN frames) and is null for an error frame and for a
// rejected record; data_length never exceeds the payload it points into.
// Copying a message keeps `data` pointing into the original. Meaningless when
// kind is kNone.
struct BusMessage {
    double time;          // seconds since the start of the recording
    uint32_t identifier;  // as recorded, flag bits included
    const uint8_t* data;
    uint64_t data_length;
    FrameKind kind;
    union {
        CanFrameDetails can;
        CanErrorDetails error;
        LinFrameDetails lin;
    } details;
};

// One record's frame as a decoder leaves it before it becomes a message or a
// row of columns: the values the decoder stores, with the CAN payload left
// where it lies (in the record, its signal bytes, or `composed`). Valid while
// the record it was decoded from is; not copyable, as it may point into
// itself.
struct DecodedFrame {
    DecodedFrame() = default;
    DecodedFrame(const DecodedFrame&) = delete;
    DecodedFrame& operator=(const DecodedFrame&) = delete;

    FrameKind decoder = FrameKind::kNone;  // the kind its decoder writes
    FrameKind kind = FrameKind::kNone;     // what the record gave: decoder, or kNone when rejected
    double time = 0.0;
    uint32_t identifier = 0;
    uint64_t data_length = 0;  // as the message carries it (within its payload)
    // CAN data and remote frames; direction and bus also of LIN frames, bus
    // also of error frames.
    uint8_t extended = 0;
    uint8_t direction = 0;
    uint8_t fd = 0;
    uint8_t esi = 0;
    uint8_t brs = 0;
    uint8_t bus = 0;
    uint8_t dlc = 0;
    uint8_t received_byte_count = 0;  // LIN
    int32_t error_type = 0;           // error frames
    // A CAN data frame's payload is the `present` bytes at `payload` followed
    // by zeros up to kCanPayloadSize; `composed` holds it where several byte
    // arrays wrote over each other.
    const uint8_t* payload = nullptr;
    uint64_t present = 0;
    uint8_t lin_payload[kLinPayloadSize] = {};
    uint8_t composed[kCanPayloadSize];
};

// CAN data frames decoded a batch at a time, one array per value of
// DecodedFrame: frame i is what the decoder would give of record i. The
// payloads point where they lie, valid as long as the records are.
struct CanDataBatch {
    static constexpr uint32_t kSize = 256;
    uint32_t count = 0;
    double time[kSize];
    uint32_t identifier[kSize];
    uint8_t data_length[kSize];  // within the payload, as the message carries it
    uint8_t extended[kSize];
    uint8_t direction[kSize];
    uint8_t fd[kSize];
    uint8_t esi[kSize];
    uint8_t brs[kSize];
    uint8_t bus[kSize];
    uint8_t dlc[kSize];
    // The payload: `present` bytes at `payload`, then zeros.
    const uint8_t* payload[kSize];
    uint32_t present[kSize];
    // Whether the frame is delivered (a filter may pass over it).
    uint8_t keep[kSize];
};

// One record as a decoder sees it; valid until the walk moves on.
struct RecordView {
    // The record's bytes after its record id: exactly its record length.
    ByteSpan record;
    // For each field of the layout with a signal-data source, in layout order:
    // a 4-byte little-endian length n, then n bytes.
    ByteSpan signal_bytes;
    const RecordLayout* layout = nullptr;
};

// Turns one record into a message; returns the kind written, which is also
// message.kind (kNone for a record that gives no frame). Decoders keep no
// state and allocate nothing.
using FrameDecoder = FrameKind (*)(const RecordView& view, BusMessage& message);

}  // namespace tolvar::bus
