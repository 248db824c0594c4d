// Incremental decoder of the LZSS bitstream of compressed layers. Owns its
// input buffer and its window; callers feed bytes and drain output in pieces
// of any size, and the decoder can stop and resume at any input byte.
#pragma once

#include <cstdint>
#include <memory>

namespace tolvar::stream {

enum class DrainResult : int { kNeedInput = 0, kOutputFull = 1, kErrorNull = -1, kErrorState = -2 };
enum class FeedResult : int { kTaken = 0, kFull = 1, kErrorNull = -1 };
enum class EndResult : int { kAtEnd = 0, kPending = 1, kErrorNull = -1 };

// Bitstream: bits most significant first; a literal is a 1 bit and 8 bits of
// byte; a back-reference is a 0 bit, window_bits of index and lookahead_bits
// of count, copying count + 1 bytes from index + 1 bytes back. The window is a
// zeroed ring of 2^window_bits bytes; the stream has no end marker.
class LzssDecoder {
public:
    enum State : uint8_t {
        kReadTag = 0,
        kEmitLiteral = 1,
        kReadDistanceHigh = 2,
        kReadDistanceLow = 3,
        kReadLengthHigh = 4,
        kReadLengthLow = 5,
        kEmitCopy = 6,
    };

    static constexpr unsigned kMinWindowBits = 4;
    static constexpr unsigned kMaxWindowBits = 15;
    static constexpr unsigned kMinLookaheadBits = 3;

    // Nothing for window_bits outside 4..15, a zero input capacity, or
    // lookahead_bits outside 3..window_bits - 1.
    static std::unique_ptr<LzssDecoder> create(uint16_t input_capacity, unsigned window_bits,
                                               unsigned lookahead_bits);

    // Copies as many of the n bytes as fit into the input buffer.
    FeedResult feed(const void* bytes, uint64_t n, uint64_t* accepted);
    // Decodes into out, at most out_size bytes; `produced` gets the count.
    // kNeedInput: the input buffer is empty and more bytes are needed;
    // kOutputFull: out is full.
    DrainResult drain(void* out, uint64_t out_size, uint64_t* produced);
    // kAtEnd when the input is used up and no back-reference is half emitted.
    EndResult check_end() const;

    State state() const { return static_cast<State>(state_); }
    uint16_t pending_input() const { return pending_input_; }
    uint16_t read_offset() const { return read_offset_; }
    uint16_t produced_count() const { return produced_count_; }
    uint16_t copy_remaining() const { return copy_remaining_; }
    uint16_t copy_distance() const { return copy_distance_; }
    unsigned window_bits() const { return window_bits_; }
    unsigned lookahead_bits() const { return lookahead_bits_; }

private:
    LzssDecoder(uint16_t input_capacity, unsigned window_bits, unsigned lookahead_bits);

    // Takes count bits (count <= 8 in practice); false, consuming nothing,
    // when the input buffer is empty and the current byte holds fewer.
    bool take_bits(unsigned count, uint32_t* value);
    // Decodes whole items straight from a bit accumulator while the input
    // buffer holds every bit of the next item; leaves the fields exactly as
    // the bit-by-bit steps would.
    void drain_whole_items(uint8_t* out, uint64_t out_size, uint64_t* produced);
    // Emits k bytes of the current back-reference to out and to the window.
    void copy_from_window(uint8_t* out, uint32_t distance, uint32_t k);
    void put_byte(uint8_t byte) {
        window_[produced_count_ & window_mask_] = byte;
        ++produced_count_;
    }

    uint16_t pending_input_ = 0;
    uint16_t read_offset_ = 0;
    uint16_t copy_remaining_ = 0;
    uint16_t copy_distance_ = 0;
    uint16_t produced_count_ = 0;
    uint8_t state_ = kReadTag;
    uint8_t bit_byte_ = 0;
    uint8_t bit_mask_ = 0;
    uint8_t window_bits_;
    uint8_t lookahead_bits_;
    uint16_t input_capacity_;
    uint32_t window_mask_;
    std::unique_ptr<uint8_t[]> storage_;  // input buffer, then the window
    uint8_t* input_;
    uint8_t* window_;
};

}  // namespace tolvar::stream
