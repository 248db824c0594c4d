// The Stream through which the decoded content of a container layer is read.
// Owns the MemoryStream that holds the whole content and a copy of the layer
// header; keeps nothing of the stream the layer was decoded from.
#pragma once

#include <cstdint>
#include <memory>

#include "stream/container_header.h"
#include "stream/memory_stream.h"
#include "stream/stream.h"

namespace tolvar::stream {

class DecodedLayerStream final : public Stream {
public:
    DecodedLayerStream(const ContainerHeader& header, std::unique_ptr<MemoryStream> content);
    ~DecodedLayerStream() override;

    // All four forward to the content; positions are offsets into it.
    int64_t read(void* buffer, uint64_t n) override;
    int64_t write(const void* buffer, uint64_t n) override;
    int64_t tell() override;
    int64_t seek(int64_t offset, int whence) override;
    // Closes the content and returns its result.
    int close() override;

    const ContainerHeader& header() const { return header_; }
    // The parameter words of a compressed layer (0 for other layers).
    uint32_t window_word() const { return window_word_; }
    uint32_t lookahead_word() const { return lookahead_word_; }
    void set_parameter_words(uint32_t window_word, uint32_t lookahead_word) {
        window_word_ = window_word;
        lookahead_word_ = lookahead_word;
    }

    // The decoded content; null after close.
    MemoryStream* content() { return content_.get(); }

private:
    ContainerHeader header_;
    uint32_t window_word_ = 0;
    uint32_t lookahead_word_ = 0;
    std::unique_ptr<MemoryStream> content_;
};

}  // namespace tolvar::stream
