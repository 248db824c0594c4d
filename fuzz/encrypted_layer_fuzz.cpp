// Hostile encrypted layers under a fixed password. The iteration count the
// opener sees is pinned to 1..4 (a mutated count would otherwise spend hours
// in key derivation); a decrypted plaintext is unwrapped further, compressed
// layers under a cap on their decoded size.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "../tests/native/stream/layer_test_util.h"
#include "log/log.h"
#include "stream/compressed_layer.h"
#include "stream/container_header.h"
#include "stream/encrypted_layer.h"

namespace {

constexpr uint64_t kDecodedCap = uint64_t{256} << 10;
constexpr int kMaxDepth = 3;
const char kPassword[] = "fuzz";

void pin_iterations(tolvar::test::Bytes& bytes) {
    if (bytes.size() < 36) return;
    uint32_t count = (uint32_t{bytes[32]} << 24) | (uint32_t{bytes[33]} << 16) | (uint32_t{bytes[34]} << 8) | bytes[35];
    if (count <= 4) return;
    count = 1 + (count & 3);
    bytes[32] = bytes[33] = bytes[34] = 0;
    bytes[35] = static_cast<uint8_t>(count);
}

void unwrap(tolvar::stream::Stream* stream, int depth) {
    tolvar::stream::ContainerHeader header;
    if (depth >= kMaxDepth || !tolvar::stream::detect_layer_header(stream, &header)) return;
    std::unique_ptr<tolvar::stream::DecodedLayerStream> layer;
    if (header.layer_type == tolvar::stream::kLayerEncrypted) {
        // Only the outermost layer's count is pinned; a decrypted inner layer
        // is authentic, and the seeds keep theirs small.
        layer = tolvar::stream::open_encrypted(stream, &header, reinterpret_cast<const uint8_t*>(kPassword),
                                       sizeof kPassword - 1);
    } else {
        layer = tolvar::stream::open_compressed(stream, &header, kDecodedCap);
    }
    if (!layer) return;
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
    const uint8_t mode = data[size - 1];
    tolvar::test::Bytes bytes(data, data + size - 1);
    if (bytes.size() >= sizeof tolvar::stream::kLayerMagic) std::memcpy(bytes.data(), tolvar::stream::kLayerMagic, sizeof tolvar::stream::kLayerMagic);
    if (bytes.size() >= 15) bytes[14] = tolvar::stream::kLayerEncrypted;
    pin_iterations(bytes);
    if (mode & 1) {
        tolvar::test::AwkwardStream source(bytes, (mode & 2) != 0);
        unwrap(&source, 0);
    } else {
        auto source = tolvar::test::memory_of(bytes);
        unwrap(source.get(), 0);
    }
    return 0;
}
