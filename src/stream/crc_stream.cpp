#include "stream/crc_stream.h"

namespace tolvar::stream {

std::unique_ptr<CrcStream> CrcStream::create(Stream* inner) {
    if (inner == nullptr) return nullptr;
    return std::unique_ptr<CrcStream>(new CrcStream(inner));
}

int64_t CrcStream::read(void* buffer, uint64_t n) {
    const int64_t got = inner_->read(buffer, n);
    if (got > 0) crc_ = crc_update(crc_, buffer, static_cast<size_t>(got));
    return got;
}

int64_t CrcStream::write(const void* buffer, uint64_t n) {
    const int64_t put = inner_->write(buffer, n);
    if (put > 0) crc_ = crc_update(crc_, buffer, static_cast<size_t>(put));
    return put;
}

}  // namespace tolvar::stream
