// Frame: one bus frame as a message shows it, the single form in which a
// decoded record travels: the filter judges it, a row store keeps it, the
// merge orders it and the message builder reads it. With it the kinds of
// frames, their flags and the codes and names of the channels they come
// from. Plain values; a frame's payload lies beside it (borrowed).
#pragma once

#include <cstdint>

namespace tolvar::bus {

// A borrowed run of bytes.
struct ByteSpan {
    const uint8_t* data = nullptr;
    uint64_t size = 0;
};

// What a record decodes to: the kind of frame its decoder writes, or none (a
// group that is no bus event, a record a decoder rejects, the end of a walk).
enum class FrameKind : int32_t {
    kNone = 0,
    kCanDataFrame = 1,
    kCanRemoteFrame = 2,
    kCanErrorFrame = 3,
    kLinFrame = 4,
};

constexpr uint64_t kCanPayloadSize = 64;
constexpr uint64_t kLinPayloadSize = 8;

// The flags of a frame as a message shows them, one bit each.
enum FrameFlag : uint8_t {
    kFlagExtended = 0,
    kFlagRemote = 1,
    kFlagError = 2,
    kFlagFd = 3,
    kFlagBitrateSwitch = 4,
    kFlagErrorStateIndicator = 5,
    kFlagRx = 6,
};
constexpr unsigned kFlagCount = 7;

// Channels are numbered as messages name them: "CAN n" is n, "LIN n" is
// 256 + n.
constexpr unsigned kChannelCount = 512;
constexpr unsigned kLinChannels = 256;
inline unsigned channel_code(FrameKind kind, uint8_t bus) {
    return kind == FrameKind::kLinFrame ? kLinChannels + bus : bus;
}
// The longest channel name ("LIN 255") and its terminating zero.
constexpr unsigned kChannelNameSize = 8;
// The name messages give the channel of `code` ("CAN 3", "LIN 12"): written
// zero-terminated to `name`; its length.
unsigned channel_name(unsigned code, char (&name)[kChannelNameSize]);
// The code of a channel name exactly as messages spell it (the bus number in
// decimal without leading zeros, 0 to 255); -1 for any other text, which no
// frame carries.
int channel_of_name(const char* text, uint64_t size);

// One frame: every value a message of it has but the payload. A CAN data
// frame's payload is `dlc` bytes; a LIN frame's too (at most 8); a remote or
// error frame has none (a remote frame's dlc is the length it requests).
struct Frame {
    double timestamp;  // origin of the recording + the record's time: message.timestamp
    uint32_t id;       // the arbitration id, without flag bits
    uint16_t channel;  // the channel code
    uint8_t dlc;       // as the message shows it
    uint8_t flags;     // FrameFlag bits
};
static_assert(sizeof(Frame) == 16, "a frame is 16 bytes");

inline bool has_flag(const Frame& frame, FrameFlag flag) { return (frame.flags >> flag & 1u) != 0; }

// The bytes of the frame's payload.
inline uint64_t payload_length(const Frame& frame) {
    return (frame.flags & (1u << kFlagRemote | 1u << kFlagError)) != 0 ? 0 : frame.dlc;
}

inline FrameKind kind_of(const Frame& frame) {
    if (has_flag(frame, kFlagError)) return FrameKind::kCanErrorFrame;
    if (has_flag(frame, kFlagRemote)) return FrameKind::kCanRemoteFrame;
    return frame.channel >= kLinChannels ? FrameKind::kLinFrame : FrameKind::kCanDataFrame;
}

}  // namespace tolvar::bus
