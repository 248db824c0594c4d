#include "stream/lzss_decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tolvar::stream {

std::unique_ptr<LzssDecoder> LzssDecoder::create(uint16_t input_capacity, unsigned window_bits,
                                                 unsigned lookahead_bits) {
    if (window_bits < kMinWindowBits || window_bits > kMaxWindowBits) return nullptr;
    if (input_capacity == 0) return nullptr;
    if (lookahead_bits < kMinLookaheadBits || lookahead_bits >= window_bits) return nullptr;
    std::unique_ptr<LzssDecoder> decoder(new (std::nothrow) LzssDecoder(input_capacity, window_bits, lookahead_bits));
    if (!decoder || !decoder->storage_) return nullptr;
    return decoder;
}

LzssDecoder::LzssDecoder(uint16_t input_capacity, unsigned window_bits, unsigned lookahead_bits)
    : window_bits_(static_cast<uint8_t>(window_bits)),
      lookahead_bits_(static_cast<uint8_t>(lookahead_bits)),
      input_capacity_(input_capacity),
      window_mask_((1u << window_bits) - 1),
      storage_(new (std::nothrow) uint8_t[size_t{input_capacity} + (size_t{1} << window_bits)]()),
      input_(storage_.get()),
      window_(storage_ ? storage_.get() + input_capacity : nullptr) {}

FeedResult LzssDecoder::feed(const void* bytes, uint64_t n, uint64_t* accepted) {
    if (bytes == nullptr || accepted == nullptr) return FeedResult::kErrorNull;
    const uint32_t space = uint32_t{input_capacity_} - pending_input_;
    if (space == 0) {
        *accepted = 0;
        return FeedResult::kFull;
    }
    const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(space, n));
    std::memcpy(input_ + pending_input_, bytes, count);
    pending_input_ = static_cast<uint16_t>(pending_input_ + count);
    *accepted = count;
    return FeedResult::kTaken;
}

EndResult LzssDecoder::check_end() const {
    if (state_ == kEmitCopy) return EndResult::kPending;
    return pending_input_ == 0 ? EndResult::kAtEnd : EndResult::kPending;
}

bool LzssDecoder::take_bits(unsigned count, uint32_t* value) {
    if (count > 15) return false;
    if (count == 0) {
        *value = 0;
        return true;
    }
    if (pending_input_ == 0 && bit_mask_ < (1u << (count - 1))) return false;
    uint32_t result = 0;
    for (unsigned i = 0; i < count; ++i) {
        if (bit_mask_ == 0) {
            bit_byte_ = input_[read_offset_++];
            if (read_offset_ == pending_input_) read_offset_ = pending_input_ = 0;
            bit_mask_ = 0x80;
        }
        result = (result << 1) | ((bit_byte_ & bit_mask_) != 0 ? 1u : 0u);
        bit_mask_ = static_cast<uint8_t>(bit_mask_ >> 1);
    }
    *value = result;
    return true;
}

void LzssDecoder::copy_from_window(uint8_t* out, uint32_t distance, uint32_t k) {
    const uint32_t size = window_mask_ + 1;
    uint32_t at = produced_count_;
    while (k > 0) {
        const uint32_t src = (at - distance) & window_mask_;
        const uint32_t dst = at & window_mask_;
        const uint32_t chunk = std::min({k, size - src, size - dst});
        if (distance >= chunk) {
            // The source bytes all precede this copy: no byte reads one it wrote.
            std::memmove(window_ + dst, window_ + src, chunk);
        } else if (distance == 1) {
            std::memset(window_ + dst, window_[src], chunk);
        } else {
            // An overlapping reference repeats the bytes it is producing.
            for (uint32_t i = 0; i < chunk; ++i) window_[dst + i] = window_[src + i];
        }
        std::memcpy(out, window_ + dst, chunk);
        out += chunk;
        at += chunk;
        k -= chunk;
    }
    produced_count_ = static_cast<uint16_t>(at);
}

void LzssDecoder::drain_whole_items(uint8_t* out, uint64_t out_size, uint64_t* produced) {
    const unsigned wb = window_bits_;
    const unsigned lb = lookahead_bits_;
    const unsigned reference_bits = 1 + wb + lb;
    const unsigned item_bits = std::max(9u, reference_bits);
    const uint32_t count_mask = (1u << lb) - 1;

    const uint32_t first = read_offset_;
    const uint32_t end = pending_input_;
    uint32_t next = first;
    // The unconsumed bits of bit_byte, then whole input bytes; `have` counts
    // the valid low bits of acc.
    unsigned have = bit_mask_ != 0 ? static_cast<unsigned>(__builtin_ctz(bit_mask_)) + 1 : 0;
    uint64_t acc = bit_byte_ & ((1u << have) - 1);
    uint64_t done = *produced;

    while (done < out_size) {
        while (have <= 56 && next < end) {
            acc = (acc << 8) | input_[next++];
            have += 8;
        }
        if (have < item_bits) break;
        if ((acc >> (have - 1)) & 1) {
            const uint8_t byte = static_cast<uint8_t>(acc >> (have - 9));
            have -= 9;
            put_byte(byte);
            out[done++] = byte;
            continue;
        }
        have -= 1 + wb;
        const uint32_t distance = static_cast<uint32_t>((acc >> have) & window_mask_) + 1;
        have -= lb;
        const uint32_t length = static_cast<uint32_t>((acc >> have) & count_mask) + 1;
        const uint32_t k = static_cast<uint32_t>(std::min<uint64_t>(length, out_size - done));
        copy_from_window(out + done, distance, k);
        done += k;
        if (k < length) {
            copy_distance_ = static_cast<uint16_t>(distance);
            copy_remaining_ = static_cast<uint16_t>(length - k);
            state_ = kEmitCopy;
            break;
        }
    }
    *produced = done;

    // Give back the bits not consumed: whole bytes return to the input buffer,
    // a partial byte becomes bit_byte again.
    const uint64_t loaded_bits = uint64_t{next - first} * 8;
    if (have > loaded_bits) {
        bit_mask_ = static_cast<uint8_t>(1u << (have - loaded_bits - 1));
        read_offset_ = static_cast<uint16_t>(first);
        return;
    }
    next -= have / 8;
    const unsigned partial = have % 8;
    if (next > first) bit_byte_ = input_[next - 1];
    bit_mask_ = partial != 0 ? static_cast<uint8_t>(1u << (partial - 1)) : 0;
    read_offset_ = static_cast<uint16_t>(next);
    if (read_offset_ == pending_input_) read_offset_ = pending_input_ = 0;
}

DrainResult LzssDecoder::drain(void* out_buffer, uint64_t out_size, uint64_t* produced) {
    if (out_buffer == nullptr || produced == nullptr) return DrainResult::kErrorNull;
    auto* out = static_cast<uint8_t*>(out_buffer);
    *produced = 0;
    for (;;) {
        if (state_ == kReadTag && pending_input_ != 0) drain_whole_items(out, out_size, produced);
        const uint8_t before = state_;
        uint32_t bits = 0;
        switch (state_) {
            case kReadTag:
                if (!take_bits(1, &bits)) break;
                if (bits != 0) {
                    state_ = kEmitLiteral;
                } else if (window_bits_ > 8) {
                    state_ = kReadDistanceHigh;
                } else {
                    copy_distance_ = 0;
                    state_ = kReadDistanceLow;
                }
                break;
            case kEmitLiteral:
                if (*produced < out_size && take_bits(8, &bits)) {
                    put_byte(static_cast<uint8_t>(bits));
                    out[(*produced)++] = static_cast<uint8_t>(bits);
                    state_ = kReadTag;
                }
                break;
            case kReadDistanceHigh:
                if (take_bits(window_bits_ - 8u, &bits)) {
                    copy_distance_ = static_cast<uint16_t>(bits << 8);
                    state_ = kReadDistanceLow;
                }
                break;
            case kReadDistanceLow:
                if (take_bits(std::min(window_bits_, uint8_t{8}), &bits)) {
                    copy_distance_ = static_cast<uint16_t>((copy_distance_ | bits) + 1);
                    copy_remaining_ = 0;
                    state_ = lookahead_bits_ > 8 ? kReadLengthHigh : kReadLengthLow;
                }
                break;
            case kReadLengthHigh:
                if (take_bits(lookahead_bits_ - 8u, &bits)) {
                    copy_remaining_ = static_cast<uint16_t>(bits << 8);
                    state_ = kReadLengthLow;
                }
                break;
            case kReadLengthLow:
                if (take_bits(std::min(lookahead_bits_, uint8_t{8}), &bits)) {
                    copy_remaining_ = static_cast<uint16_t>((copy_remaining_ | bits) + 1);
                    state_ = kEmitCopy;
                }
                break;
            case kEmitCopy:
                if (*produced < out_size) {
                    const uint32_t k = static_cast<uint32_t>(std::min<uint64_t>(copy_remaining_, out_size - *produced));
                    copy_from_window(out + *produced, copy_distance_, k);
                    *produced += k;
                    copy_remaining_ = static_cast<uint16_t>(copy_remaining_ - k);
                    if (copy_remaining_ == 0) state_ = kReadTag;
                }
                break;
            default:
                return DrainResult::kErrorState;
        }
        if (state_ == before) return *produced == out_size ? DrainResult::kOutputFull : DrainResult::kNeedInput;
    }
}

}  // namespace tolvar::stream
