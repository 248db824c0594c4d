// The one place that calls mbed TLS: PBKDF2-HMAC-SHA-256 key derivation and
// AES-256-GCM decryption, for mbed TLS 2.28 and 3.x alike. GcmDecryptor owns
// its cipher context; every buffer passed in is borrowed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace tolvar::stream {

constexpr size_t kAes256KeySize = 32;
constexpr size_t kGcmTagSize = 16;
constexpr size_t kGcmBlockSize = 16;

// Derives key_size bytes from the password, salt and iteration count; false
// when mbed TLS reports an error.
bool pbkdf2_hmac_sha256(const uint8_t* password, size_t password_size, const uint8_t* salt, size_t salt_size,
                        uint32_t iterations, uint8_t* key, size_t key_size);

// Overwrites secret bytes in a way the compiler keeps.
void wipe(void* data, size_t size);

// "mbed TLS 2.28.3" and the like.
const char* library_version();

class GcmDecryptor {
public:
    GcmDecryptor();
    ~GcmDecryptor();
    GcmDecryptor(const GcmDecryptor&) = delete;
    GcmDecryptor& operator=(const GcmDecryptor&) = delete;

    // AES-256-GCM decryption with a 32-byte key and the initialisation vector.
    bool start(const uint8_t* key, const uint8_t* iv, size_t iv_size);
    // The additional authenticated data; once, before the first update.
    bool add_authenticated_data(const uint8_t* data, size_t size);
    // Decrypts n bytes into out (which may be `in` itself) and reports the
    // plaintext count. Every piece but the last must be a multiple of
    // kGcmBlockSize bytes; out must hold n + kGcmBlockSize bytes.
    bool update(const uint8_t* in, size_t n, uint8_t* out, size_t* out_size);
    // Flushes what the cipher still holds; out must hold kGcmBlockSize bytes.
    bool finish(uint8_t* out, size_t* out_size);
    // Compares the computed tag with the stored one in constant time.
    bool check_tag(const uint8_t* tag, size_t tag_size);

private:
    struct Context;
    std::unique_ptr<Context> context_;
};

}  // namespace tolvar::stream
