#include "stream/decoded_layer_stream.h"

#include <utility>

namespace tolvar::stream {

DecodedLayerStream::DecodedLayerStream(const ContainerHeader& header, std::unique_ptr<MemoryStream> content)
    : header_(header), content_(std::move(content)) {}

DecodedLayerStream::~DecodedLayerStream() { close(); }

int64_t DecodedLayerStream::read(void* buffer, uint64_t n) {
    return content_ ? content_->read(buffer, n) : -1;
}

int64_t DecodedLayerStream::write(const void* buffer, uint64_t n) {
    return content_ ? content_->write(buffer, n) : -1;
}

int64_t DecodedLayerStream::tell() { return content_ ? content_->tell() : -1; }

int64_t DecodedLayerStream::seek(int64_t offset, int whence) {
    return content_ ? content_->seek(offset, whence) : -1;
}

int DecodedLayerStream::close() {
    if (!content_) return 0;
    const int result = content_->close();
    content_.reset();
    return result;
}

}  // namespace tolvar::stream
