#include "stream/encrypted_layer.h"

#include <cstdint>
#include <new>
#include <utility>

#include "stream/field_cursor.h"
#include "stream/mbedtls_crypto.h"
#include "stream/memory_stream.h"
#include "stream/system_memory.h"

namespace tolvar::stream {

namespace {

constexpr size_t kIvSize = 12;
constexpr size_t kSaltSize = 16;
constexpr size_t kPrefixSize = 52;  // header, IV, iteration count, salt: all authenticated
constexpr int64_t kTagSize = 16;
constexpr uint64_t kHugePageAdviceFrom = uint64_t{8} << 20;
constexpr int64_t kMinLayerSize = static_cast<int64_t>(kPrefixSize) + kTagSize;

// Owns the derived key for the time the opener needs it and wipes it after.
struct KeyBuffer {
    uint8_t bytes[kAes256KeySize] = {};
    ~KeyBuffer() { wipe(bytes, sizeof bytes); }
};

}  // namespace

std::unique_ptr<DecodedLayerStream> open_encrypted(Stream* source, const ContainerHeader* header,
                                                   const uint8_t* password, size_t password_size) {
    if (source == nullptr || header == nullptr) return nullptr;
    if (header->layer_type != kLayerEncrypted || header->version != 1) return nullptr;
    if (header->flag > 1 || header->footer_flag != 0) return nullptr;

    source->seek(20, kSeekSet);
    uint8_t iv[kIvSize];
    uint32_t iterations = 0;
    uint8_t salt[kSaltSize];
    if (!FieldCursor(source, 20).read_bytes(iv, sizeof iv)) return nullptr;
    if (!FieldCursor(source, 32).read_u32_be(&iterations)) return nullptr;
    if (!FieldCursor(source, 36).read_bytes(salt, sizeof salt)) return nullptr;

    std::unique_ptr<MemoryStream> content(new (std::nothrow) MemoryStream());
    if (!content) return nullptr;
    std::unique_ptr<DecodedLayerStream> layer(new (std::nothrow) DecodedLayerStream(*header, std::move(content)));
    if (!layer) return nullptr;
    MemoryStream* memory = layer->content();

    GcmDecryptor cipher;
    {
        KeyBuffer key;
        if (!pbkdf2_hmac_sha256(password, password_size, salt, sizeof salt, iterations, key.bytes,
                                        sizeof key.bytes)) {
            return nullptr;
        }
        if (!cipher.start(key.bytes, iv, sizeof iv)) return nullptr;
    }

    if (source->seek(0, kSeekEnd) < 0) return nullptr;
    const int64_t size = source->tell();
    if (size < kMinLayerSize) return nullptr;

    uint8_t tag[kTagSize];
    if (source->seek(-kTagSize, kSeekCur) < 0 || read_fully(*source, tag, sizeof tag) != kTagSize) return nullptr;

    uint8_t prefix[kPrefixSize];
    if (source->seek(0, kSeekSet) != 0 || read_fully(*source, prefix, sizeof prefix) != kPrefixSize) return nullptr;
    if (!cipher.add_authenticated_data(prefix, sizeof prefix)) return nullptr;

    // The plaintext is exactly as long as the ciphertext: room for all of it
    // (and the cipher's block of slack) up front, then each piece is read
    // straight into place and decrypted there. None of it is readable by
    // anyone unless the tag verifies below.
    const uint64_t ciphertext_size = static_cast<uint64_t>(size - kMinLayerSize);
    if (!memory->reserve(ciphertext_size + kGcmBlockSize)) return nullptr;
    // Every page of the plaintext is written once, right away.
    if (ciphertext_size >= kHugePageAdviceFrom) system_memory::advise_huge_pages(memory->data(), ciphertext_size);
    uint64_t remaining = ciphertext_size;
    while (remaining > 0) {
        const uint64_t want = remaining < kCipherPiece ? remaining : kCipherPiece;
        uint8_t* at = memory->data() + memory->content_size();
        const int64_t got = read_fully(*source, at, want);
        if (got <= 0) return nullptr;
        size_t plain = 0;
        if (!cipher.update(at, static_cast<size_t>(got), at, &plain)) return nullptr;
        if (plain != static_cast<size_t>(got) || !memory->append_in_place(plain)) return nullptr;
        remaining -= static_cast<uint64_t>(got);
    }

    uint8_t tail[kGcmBlockSize];
    size_t tail_size = 0;
    if (!cipher.finish(tail, &tail_size)) return nullptr;
    if (tail_size > 0 && memory->write(tail, tail_size) != static_cast<int64_t>(tail_size)) return nullptr;
    if (!cipher.check_tag(tag, sizeof tag)) return nullptr;
    return layer;
}

}  // namespace tolvar::stream
