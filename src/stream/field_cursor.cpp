#include "stream/field_cursor.h"

#include <algorithm>

namespace tolvar::stream {

FieldCursor::FieldCursor(Stream* stream) : stream_(stream) {
    const int64_t at = stream != nullptr ? stream->tell() : -1;
    base_ = at > 0 ? static_cast<uint64_t>(at) : 0;
}

bool FieldCursor::seek_to_field() {
    if (stream_ == nullptr) return false;
    stream_->seek(static_cast<int64_t>(base_ + position_), kSeekSet);
    return true;
}

bool FieldCursor::read_bytes(void* destination, uint64_t n) {
    if (!seek_to_field()) return false;
    // Sources such as raw host file objects may serve fewer bytes than asked
    // without being at their end.
    if (read_fully(*stream_, destination, n) != static_cast<int64_t>(n)) return false;
    position_ += n;
    return true;
}

bool FieldCursor::read_text(std::string& text, uint64_t n) {
    if (!seek_to_field()) return false;
    constexpr uint64_t kPiece = uint64_t{1} << 20;
    uint64_t done = 0;
    while (done < n) {
        const uint64_t piece = std::min(kPiece, n - done);
        const size_t old = text.size();
        if (piece > text.max_size() - old) return false;
        text.resize(old + static_cast<size_t>(piece));
        const int64_t got = read_fully(*stream_, &text[old], piece);
        if (got != static_cast<int64_t>(piece)) {
            if (got > 0) text.resize(old + static_cast<size_t>(got));
            else text.resize(old);
            return false;
        }
        done += piece;
    }
    position_ += n;
    return true;
}

bool FieldCursor::read_u32_be(uint32_t* value) {
    if (value == nullptr) return false;
    uint8_t raw[4];
    if (!read_bytes(raw, 4)) return false;
    *value = (uint32_t{raw[0]} << 24) | (uint32_t{raw[1]} << 16) | (uint32_t{raw[2]} << 8) | raw[3];
    return true;
}

bool FieldCursor::skip(uint64_t n) {
    position_ += n;
    return true;
}

bool FieldCursor::write_bytes(const void* buffer, uint64_t n) {
    if (!seek_to_field()) return false;
    if (stream_->write(buffer, n) != static_cast<int64_t>(n)) return false;
    position_ += n;
    return true;
}

}  // namespace tolvar::stream
