// Hostile compressed layers: any bytes after the magic, read whole or in
// awkward pieces, decoded under a cap so that a decompression bomb cannot
// exhaust memory; decoded layers are unwrapped again, as the reader does.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../tests/native/stream/layer_test_util.h"
#include "log/log.h"
#include "stream/compressed_layer.h"
#include "stream/container_header.h"

namespace {

constexpr uint64_t kDecodedCap = uint64_t{256} << 10;
constexpr int kMaxDepth = 3;

void unwrap(tolvar::stream::Stream* stream, int depth) {
    tolvar::stream::ContainerHeader header;
    if (depth >= kMaxDepth || !tolvar::stream::detect_layer_header(stream, &header)) return;
    auto layer = tolvar::stream::open_compressed(stream, &header, kDecodedCap);
    if (!layer) return;
    // Read the content back through the layer stream.
    uint8_t piece[997];
    layer->seek(0, tolvar::stream::kSeekSet);
    while (layer->read(piece, sizeof piece) > 0) {
    }
    unwrap(layer.get(), depth + 1);
}

}  // namespace

// The footer's log lines would only slow the fuzzer down.
int discard(tolvar::log::LogMessage*, void*) { return 0; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    tolvar::log::set_output(tolvar::log::kMessage, nullptr, &discard);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The last byte picks how the source serves reads; the rest is the layer,
    // with the magic forced so that mutations spend their time behind it.
    const uint8_t mode = data[size - 1];
    tolvar::test::Bytes bytes(data, data + size - 1);
    if (bytes.size() >= sizeof tolvar::stream::kLayerMagic) std::memcpy(bytes.data(), tolvar::stream::kLayerMagic, sizeof tolvar::stream::kLayerMagic);
    if (mode & 1) {
        tolvar::test::AwkwardStream source(bytes, (mode & 2) != 0);
        unwrap(&source, 0);
    } else {
        auto source = tolvar::test::memory_of(bytes);
        unwrap(source.get(), 0);
    }
    return 0;
}
