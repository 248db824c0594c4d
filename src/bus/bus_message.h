// The decoded frame of one record (BusMessage), what a frame decoder receives
// (RecordView) and what it returns (DecoderStatus). Plain values: a message
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

// What a frame decoder reports: the kind of frame it wrote, or no frame.
enum DecoderStatus : int32_t {
    kStatusCanDataFrame = 1,
    kStatusCanRemoteFrame = 2,
    kStatusCanErrorFrame = 3,
    kStatusLinFrame = 4,
    kStatusNoFrame = 9,
};

// BusMessage::kind.
enum MessageKind : int32_t {
    kKindNone = 0,
    kKindCanDataFrame = 1,
    kKindCanRemoteFrame = 2,
    kKindCanErrorFrame = 3,
    kKindLinFrame = 4,
};

constexpr uint64_t kCanPayloadSize = 64;
constexpr uint64_t kLinPayloadSize = 8;

// Kinds 1 and 2. Flags hold 0 or 1.
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

// Kind 3.
struct CanErrorDetails {
    uint8_t bus;
    int32_t error_type;  // 0 to 5
};

// Kind 4.
struct LinFrameDetails {
    uint8_t direction;  // 0 received, otherwise transmitted
    uint8_t bus;
    uint8_t received_byte_count;
    uint8_t payload[kLinPayloadSize];
};

// One decoded frame. `data` points into this message's own payload (kinds 1,
// 2 and 4) and is null for kind 3 and for a rejected record; data_length never
// exceeds the payload it points into. Copying a message keeps `data` pointing
// into the original. Meaningless when kind is 0.
struct BusMessage {
    double time;          // seconds since the start of the recording
    uint32_t identifier;  // as recorded, flag bits included
    const uint8_t* data;
    uint64_t data_length;
    int32_t kind;  // MessageKind
    union {
        CanFrameDetails can;
        CanErrorDetails error;
        LinFrameDetails lin;
    } details;
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

// Turns one record into a message; returns the kind written (1 to 4) or
// kStatusNoFrame. Decoders keep no state and allocate nothing.
using FrameDecoder = int32_t (*)(const RecordView& view, BusMessage& message);

}  // namespace tolvar::bus
