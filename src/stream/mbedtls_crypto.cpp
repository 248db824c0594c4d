#include "stream/mbedtls_crypto.h"

#include <mbedtls/cipher.h>
#include <mbedtls/md.h>
#include <mbedtls/pkcs5.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/version.h>

#include <new>

#if MBEDTLS_VERSION_NUMBER >= 0x03000000 && defined(MBEDTLS_PSA_CRYPTO_C)
#include <psa/crypto.h>
#define TOLVAR_MBEDTLS_PSA 1
#endif

namespace tolvar::stream {

namespace {

#ifdef TOLVAR_MBEDTLS_PSA
// Builds of mbed TLS 3.x may route hashes and ciphers through PSA, which must
// be initialised once before use; repeated calls are cheap and harmless.
bool ensure_psa() { return psa_crypto_init() == PSA_SUCCESS; }
#else
bool ensure_psa() { return true; }
#endif

}  // namespace

bool pbkdf2_hmac_sha256(const uint8_t* password, size_t password_size, const uint8_t* salt, size_t salt_size,
                        uint32_t iterations, uint8_t* key, size_t key_size) {
    if (key == nullptr || salt == nullptr || (password == nullptr && password_size != 0)) return false;
    static const uint8_t kEmpty = 0;
    if (password == nullptr) password = &kEmpty;
    ensure_psa();
#if MBEDTLS_VERSION_NUMBER >= 0x03030000
    // The context-based call is deprecated from 3.3 on and gone when
    // deprecated functions are removed; the _ext form sets up the same
    // HMAC-SHA-256 context internally.
    return mbedtls_pkcs5_pbkdf2_hmac_ext(MBEDTLS_MD_SHA256, password, password_size, salt, salt_size, iterations,
                                         static_cast<uint32_t>(key_size), key) == 0;
#else
    const mbedtls_md_info_t* info = mbedtls_md_info_from_type(MBEDTLS_MD_SHA256);
    if (info == nullptr) return false;
    mbedtls_md_context_t md;
    mbedtls_md_init(&md);
    int result = mbedtls_md_setup(&md, info, 1);
    if (result == 0) {
        result = mbedtls_pkcs5_pbkdf2_hmac(&md, password, password_size, salt, salt_size, iterations,
                                           static_cast<uint32_t>(key_size), key);
    }
    mbedtls_md_free(&md);
    return result == 0;
#endif
}

void wipe(void* data, size_t size) { mbedtls_platform_zeroize(data, size); }

const char* library_version() { return MBEDTLS_VERSION_STRING_FULL; }

struct GcmDecryptor::Context {
    Context() { mbedtls_cipher_init(&cipher); }
    ~Context() { mbedtls_cipher_free(&cipher); }
    mbedtls_cipher_context_t cipher;
    bool ready = false;
};

GcmDecryptor::GcmDecryptor() : context_(new (std::nothrow) Context()) {}

GcmDecryptor::~GcmDecryptor() = default;

bool GcmDecryptor::start(const uint8_t* key, const uint8_t* iv, size_t iv_size) {
    if (!context_ || key == nullptr || iv == nullptr) return false;
    ensure_psa();
    const mbedtls_cipher_info_t* info = mbedtls_cipher_info_from_values(MBEDTLS_CIPHER_ID_AES, 256, MBEDTLS_MODE_GCM);
    if (info == nullptr) return false;
    mbedtls_cipher_context_t* c = &context_->cipher;
    if (mbedtls_cipher_setup(c, info) != 0) return false;
    if (mbedtls_cipher_setkey(c, key, 256, MBEDTLS_DECRYPT) != 0) return false;
    if (mbedtls_cipher_set_iv(c, iv, iv_size) != 0) return false;
    // 3.x starts GCM in set_iv; reset only clears buffered input there, and
    // 2.28 wants it before the additional data.
    if (mbedtls_cipher_reset(c) != 0) return false;
    context_->ready = true;
    return true;
}

bool GcmDecryptor::add_authenticated_data(const uint8_t* data, size_t size) {
    if (!context_ || !context_->ready || data == nullptr) return false;
    return mbedtls_cipher_update_ad(&context_->cipher, data, size) == 0;
}

bool GcmDecryptor::update(const uint8_t* in, size_t n, uint8_t* out, size_t* out_size) {
    if (!context_ || !context_->ready || out_size == nullptr) return false;
    *out_size = 0;
    if (n == 0) return true;
    if (in == nullptr || out == nullptr) return false;
    return mbedtls_cipher_update(&context_->cipher, in, n, out, out_size) == 0;
}

bool GcmDecryptor::finish(uint8_t* out, size_t* out_size) {
    if (!context_ || !context_->ready || out == nullptr || out_size == nullptr) return false;
    *out_size = 0;
    return mbedtls_cipher_finish(&context_->cipher, out, out_size) == 0;
}

bool GcmDecryptor::check_tag(const uint8_t* tag, size_t tag_size) {
    if (!context_ || !context_->ready || tag == nullptr) return false;
    return mbedtls_cipher_check_tag(&context_->cipher, tag, tag_size) == 0;
}

}  // namespace tolvar::stream
