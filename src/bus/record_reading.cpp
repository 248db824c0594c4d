#include "bus/record_reading.h"

#include <cstring>
#include <new>

#include "bus/value_extraction.h"
#include "bus/decode_program.h"
#include "bus/vlsd_index.h"

namespace tolvar::bus {

namespace {

// Bytes of signal-block values one record keeps. Bus payloads are at most 64
// bytes; the budget stops damaged files whose lengths, or many fields naming
// one huge value, would otherwise make every record hold megabytes.
constexpr uint64_t kSignalBudget = 64 * 1024;
// A signal-block value cut short by the end of its block is completed with
// zeros up to this length (a bus payload); a longer one keeps the bytes that
// arrived and ends the record's signal bytes, since no decoder can use it.
constexpr uint64_t kLongestFilledValue = kCanPayloadSize;
// Bytes asked of a signal block per read while a value arrives.
constexpr uint64_t kSignalPiece = 4096;
// Bytes of the data section a walk keeps in pages for values found by their
// offset: VLSD records written in an order of their own are then each read
// once where the pages hold them all.
constexpr uint64_t kValuePages = uint64_t{128} << 20;

// The count of up to n bytes that arrived at the stream's position, 0 when
// none did.
uint64_t read_available(stream::Stream& stream, uint8_t* buffer, uint64_t n) {
    const int64_t got = stream::read_fully(stream, buffer, n);
    return got > 0 ? static_cast<uint64_t>(got) : 0;
}

}  // namespace

bool RecordReader::read(const FramedRecord& framed, stream::ReadAhead& ahead, RecordView& view) {
    const RecordGroup& group = *framed.group;
    const uint8_t* base = ahead.fetch(framed.at, framed.next - framed.at);
    if (base == nullptr) return false;
    view.record = ByteSpan{base + (framed.record_at - framed.at), framed.values_at - framed.record_at};
    view.layout = group.layout;
    view.signal_bytes = ByteSpan{};
    if (group.signal_sources.empty()) return true;
    // Each VLSD value is a record of the VLSD group: its id, then a 4-byte
    // length and the bytes, which are a signal entry as they stand.
    const uint8_t* value = base + (framed.values_at - framed.at);
    if (group.signal_sources.size() == 1 && framed.value_count == 1) {
        uint32_t length;
        std::memcpy(&length, value + id_size_, 4);
        view.signal_bytes = ByteSpan{value + id_size_, 4 + uint64_t{length}};
        return true;
    }
    signal_.clear();
    uint64_t budget = kSignalBudget;
    uint32_t taken = 0;
    bool more = true;
    for (const SignalSource& source : group.signal_sources) {
        if (!more) break;
        switch (source.kind) {
            case SignalSource::Kind::kVlsd: {
                if (!with_ids_) {
                    if (!signal_.append_u32(0)) return false;
                    break;
                }
                if (taken == framed.value_count) {
                    // No more values followed the record: this one lies
                    // where its offset says.
                    if (!append_by_offset(source, view.record)) return false;
                    break;
                }
                uint32_t length;
                std::memcpy(&length, value + id_size_, 4);
                if (!signal_.append(value + id_size_, 4 + uint64_t{length})) return false;
                value += id_size_ + 4 + length;
                ++taken;
                break;
            }
            case SignalSource::Kind::kSd: {
                const uint64_t offset =
                    extract_bits(view.record, source.bit_position, source.bit_count, source.byte_order);
                const SdResult result = append_sd_value(*source.section, offset, budget);
                if (result == SdResult::kNoMemory) return false;
                more = result == SdResult::kComplete;
                break;
            }
            case SignalSource::Kind::kOther:
                if (!signal_.append_u32(0)) return false;
                break;
        }
    }
    view.signal_bytes = ByteSpan{signal_.data(), signal_.size()};
    return true;
}

bool RecordReader::value_by_offset(const SignalSource& source, ByteSpan record, const uint8_t*& bytes,
                                   uint32_t& length) {
    const uint64_t offset = extract_bits(record, source.bit_position, source.bit_count, source.byte_order);
    const VlsdIndex* index = plan_->vlsd_index();
    const std::optional<uint64_t> position =
        index != nullptr ? index->find(source.vlsd_slot, offset) : std::optional<uint64_t>();
    if (position && !values_) values_.reset(new (std::nothrow) stream::PageCache(plan_->data, kValuePages));
    if (position && values_) {
        const uint8_t* length_bytes = values_->fetch(*position, 4);
        if (length_bytes != nullptr) {
            std::memcpy(&length, length_bytes, 4);
            bytes = values_->fetch(*position + 4, length);
            if (bytes != nullptr) return true;
        }
    }
    ++not_found_;
    return false;
}

uint32_t RecordReader::bus_values_by_offset(const SignalSource& source, const uint8_t* const* records,
                                            uint64_t record_length, uint32_t count,
                                            uint8_t (*values)[kCanPayloadSize], uint32_t* lengths) {
    const VlsdIndex* index = plan_->vlsd_index();
    if (index != nullptr && !values_) values_.reset(new (std::nothrow) stream::PageCache(plan_->data, kValuePages));
    if (index == nullptr || !values_) {
        not_found_ += count;
        for (uint32_t i = 0; i < count; ++i) lengths[i] = 0;
        return count;
    }
    // Each step over all of them first: the memory of every entry, then of
    // every value, is on its way before the first is read.
    uint64_t offsets[FrameBatch::kSize];
    uint64_t positions[FrameBatch::kSize];
    for (uint32_t i = 0; i < count; ++i) {
        offsets[i] = extract_bits(ByteSpan{records[i], record_length}, source.bit_position, source.bit_count,
                                  source.byte_order);
        index->prefetch(source.vlsd_slot, offsets[i]);
    }
    constexpr uint64_t kNone = UINT64_MAX;
    for (uint32_t i = 0; i < count; ++i) {
        const std::optional<uint64_t> at = index->find(source.vlsd_slot, offsets[i]);
        positions[i] = at ? *at : kNone;
        if (at) values_->prefetch(*at);
    }
    for (uint32_t i = 0; i < count; ++i) {
        lengths[i] = 0;
        const uint8_t* length_bytes = positions[i] != kNone ? values_->fetch(positions[i], 4) : nullptr;
        uint32_t length = 0;
        if (length_bytes != nullptr) std::memcpy(&length, length_bytes, 4);
        const uint8_t* bytes = length_bytes != nullptr ? values_->fetch(positions[i] + 4, length) : nullptr;
        if (bytes == nullptr) {
            ++not_found_;
            continue;
        }
        if (length > kCanPayloadSize) return i;
        if (length != 0) std::memcpy(values[i], bytes, length);
        lengths[i] = length;
    }
    return count;
}

bool RecordReader::append_by_offset(const SignalSource& source, ByteSpan record) {
    const uint8_t* bytes = nullptr;
    uint32_t length = 0;
    if (value_by_offset(source, record, bytes, length)) return signal_.append_u32(length) && signal_.append(bytes, length);
    return signal_.append_u32(0);
}

// Appends one signal-block value: its 4-byte length and its bytes. A length
// that cannot be read counts as 0. The bytes are read as they arrive, so a
// damaged length sizes nothing by itself; a value cut short is completed with
// zeros when it is no longer than a bus payload, and otherwise (like a value
// beyond the record's budget) keeps its length but not all its bytes and must
// be the record's last entry.
RecordReader::SdResult RecordReader::append_sd_value(stream::Stream& section, uint64_t offset, uint64_t& budget) {
    uint32_t length = 0;
    if (offset <= static_cast<uint64_t>(INT64_MAX) &&
        section.seek(static_cast<int64_t>(offset), stream::kSeekSet) == static_cast<int64_t>(offset)) {
        uint8_t bytes[4];
        if (read_available(section, bytes, 4) == 4) std::memcpy(&length, bytes, 4);
    }
    if (!signal_.append_u32(length)) return SdResult::kNoMemory;
    const uint64_t wanted = length < budget ? length : budget;
    uint64_t got = 0;
    while (got < wanted) {
        const uint64_t piece = wanted - got < kSignalPiece ? wanted - got : kSignalPiece;
        if (!signal_.reserve(signal_.size() + piece)) return SdResult::kNoMemory;
        const uint64_t step = read_available(section, signal_.data() + signal_.size(), piece);
        signal_.set_size(signal_.size() + step);
        got += step;
        if (step < piece) break;
    }
    budget -= got;
    if (got == length) return SdResult::kComplete;
    if (length <= kLongestFilledValue) {
        if (!signal_.append_zeros(length - got)) return SdResult::kNoMemory;
        return SdResult::kComplete;
    }
    return SdResult::kCutShort;
}

}  // namespace tolvar::bus
