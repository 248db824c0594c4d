// AES-256-GCM decryption of an encrypted layer by the opener, against a bare
// loop over mbed TLS's own cipher calls on the same data and piece size.
#include <benchmark/benchmark.h>
#include <mbedtls/cipher.h>
#include <mbedtls/gcm.h>

#include "../tests/native/stream/layer_test_util.h"
#include "stream/encrypted_layer.h"
#include "stream/mbedtls_crypto.h"

namespace {

using tolvar::test::Bytes;

constexpr size_t kPlainSize = 32u << 20;
const uint8_t kKey[32] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16,
                          17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32};

// A layer whose key is derived with one iteration, so the derivation costs
// nothing next to the decryption.
const Bytes& layer() {
    static const Bytes bytes = [] {
        const Bytes plain = tolvar::test::log_like(kPlainSize, 1);
        Bytes out = tolvar::test::layer_header(17, 1);
        const Bytes iv = tolvar::test::random_bytes(12, 2);
        const Bytes salt = tolvar::test::random_bytes(16, 3);
        out.insert(out.end(), iv.begin(), iv.end());
        tolvar::test::put_u32_be(out, 1);
        out.insert(out.end(), salt.begin(), salt.end());
        uint8_t key[32];
        tolvar::stream::pbkdf2_hmac_sha256(reinterpret_cast<const uint8_t*>("pw"), 2, salt.data(), 16, 1, key, 32);
        mbedtls_gcm_context gcm;
        mbedtls_gcm_init(&gcm);
        mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key, 256);
        Bytes cipher(plain.size());
        uint8_t tag[16];
        mbedtls_gcm_crypt_and_tag(&gcm, MBEDTLS_GCM_ENCRYPT, plain.size(), iv.data(), 12, out.data(), 52, plain.data(),
                                  cipher.data(), 16, tag);
        mbedtls_gcm_free(&gcm);
        out.insert(out.end(), cipher.begin(), cipher.end());
        out.insert(out.end(), tag, tag + 16);
        return out;
    }();
    return bytes;
}

void BM_OpenEncrypted(benchmark::State& state) {
    auto source = tolvar::test::memory_of(layer());
    for (auto _ : state) {
        tolvar::stream::ContainerHeader header;
        tolvar::stream::detect_layer_header(source.get(), &header);
        auto plain = tolvar::stream::open_encrypted(source.get(), &header, reinterpret_cast<const uint8_t*>("pw"), 2);
        if (!plain) state.SkipWithError("open failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPlainSize));
    state.SetLabel(tolvar::stream::library_version());
    state.counters["piece"] = static_cast<double>(tolvar::stream::kCipherPiece);
}
BENCHMARK(BM_OpenEncrypted)->Unit(benchmark::kMillisecond);

// mbed TLS alone: set-up, key, IV, additional data, one update per piece
// into a ready output buffer, finish; no stream, no copy, no key derivation.
// With state.range(0) == 1 the output goes to fresh memory every time, as
// it must for an opener (the first touch of each page is then part of the
// cost); with 0 it reuses one buffer that is already resident.
void BM_BareGcm(benchmark::State& state) {
    const Bytes& bytes = layer();
    const uint8_t* cipher_text = bytes.data() + 52;
    const bool fresh = state.range(0) != 0;
    std::unique_ptr<uint8_t[]> kept(new uint8_t[kPlainSize + 16]());
    const mbedtls_cipher_info_t* info = mbedtls_cipher_info_from_values(MBEDTLS_CIPHER_ID_AES, 256, MBEDTLS_MODE_GCM);
    for (auto _ : state) {
        std::unique_ptr<uint8_t[]> fresh_out(fresh ? new uint8_t[kPlainSize + 16] : nullptr);
        uint8_t* out = fresh ? fresh_out.get() : kept.get();
        mbedtls_cipher_context_t ctx;
        mbedtls_cipher_init(&ctx);
        mbedtls_cipher_setup(&ctx, info);
        mbedtls_cipher_setkey(&ctx, kKey, 256, MBEDTLS_DECRYPT);
        mbedtls_cipher_set_iv(&ctx, bytes.data() + 20, 12);
        mbedtls_cipher_reset(&ctx);
        mbedtls_cipher_update_ad(&ctx, bytes.data(), 52);
        size_t done = 0;
        while (done < kPlainSize) {
            const size_t n = std::min<size_t>(tolvar::stream::kCipherPiece, kPlainSize - done);
            size_t olen = 0;
            mbedtls_cipher_update(&ctx, cipher_text + done, n, out + done, &olen);
            done += n;
        }
        size_t olen = 0;
        mbedtls_cipher_finish(&ctx, out + done, &olen);
        benchmark::DoNotOptimize(out);
        mbedtls_cipher_free(&ctx);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPlainSize));
    state.SetLabel(tolvar::stream::library_version());
    state.counters["piece"] = static_cast<double>(tolvar::stream::kCipherPiece);
}
BENCHMARK(BM_BareGcm)->ArgName("fresh_output")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
