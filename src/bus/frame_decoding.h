// Turning the bytes of one record into a Frame: the four decoders (CAN data,
// remote and error frames, LIN frames), each read through a record group's
// prepared program or through the general rules. Stateless; nothing is
// allocated. A decoded frame borrows its payload from the record or from the
// caller's scratch.
#pragma once

#include <cstdint>

#include "bus/decode_program.h"
#include "bus/frame.h"
#include "bus/record_layout.h"

namespace tolvar::bus {

// One record as a decoder sees it; valid until the walk moves on.
struct RecordView {
    // The record's bytes after its record id: exactly its record length.
    ByteSpan record;
    // For each field of the layout with a signal-data source, in layout order:
    // a 4-byte little-endian length n, then n bytes.
    ByteSpan signal_bytes;
    const RecordLayout* layout = nullptr;
};

// Where a decoder puts together a payload that does not lie in one piece in
// the record: bytes of several fields, zeros past a value cut short, a LIN
// frame's bytes.
struct PayloadScratch {
    uint8_t bytes[kCanPayloadSize];
};

// A decoded record: its frame and the frame's payload (payload_length(frame)
// bytes), valid while the record and the scratch are.
struct DecodedRecord {
    Frame frame;
    const uint8_t* payload = nullptr;
};

// Decodes one record of the program's group, its timestamp counted from
// `origin`: through the prepared steps when the record has the program's
// length, otherwise by the general rules. kNone when the decoder rejects the
// record (or the group gives no frames); `out` is then meaningless.
FrameKind decode_record(const DecodeProgram& program, const RecordView& view, double origin, DecodedRecord& out,
                        PayloadScratch& scratch);

// Decodes one record by the general rules of the decoder that writes `kind`.
FrameKind decode_by_rules(FrameKind kind, const RecordView& view, double origin, DecodedRecord& out,
                          PayloadScratch& scratch);

}  // namespace tolvar::bus
