#include "stream/encrypted_layer.h"

#include <gtest/gtest.h>
#include <mbedtls/gcm.h>

#include "layer_test_util.h"
#include "stream/compressed_layer.h"
#include "stream/mbedtls_crypto.h"

namespace tolvar::stream {
namespace {

using test::Bytes;

struct EncryptSpec {
    std::string password = "secret";
    uint32_t key_id = 0x12A;
    uint32_t iterations = 3;
    uint8_t flag = 0;
    uint8_t footer = 0;
    uint8_t version = 1;
    uint8_t type = 17;
};

// Builds an encrypted layer: the test's own GCM encryption, the key from the
// PBKDF2 under test (checked against an independent vector below).
Bytes encrypted_layer(const Bytes& plain, const EncryptSpec& spec = {}) {
    Bytes out = test::layer_header(spec.type, spec.key_id, spec.flag, spec.footer, spec.version);
    const Bytes iv = test::random_bytes(12, 11);
    const Bytes salt = test::random_bytes(16, 12);
    out.insert(out.end(), iv.begin(), iv.end());
    test::put_u32_be(out, spec.iterations);
    out.insert(out.end(), salt.begin(), salt.end());
    uint8_t key[32];
    EXPECT_TRUE(pbkdf2_hmac_sha256(reinterpret_cast<const uint8_t*>(spec.password.data()), spec.password.size(),
                                           salt.data(), salt.size(), spec.iterations, key, sizeof key));
    mbedtls_gcm_context gcm;
    mbedtls_gcm_init(&gcm);
    EXPECT_EQ(mbedtls_gcm_setkey(&gcm, MBEDTLS_CIPHER_ID_AES, key, 256), 0);
    Bytes cipher(plain.size());
    uint8_t tag[16];
    EXPECT_EQ(mbedtls_gcm_crypt_and_tag(&gcm, MBEDTLS_GCM_ENCRYPT, plain.size(), iv.data(), iv.size(), out.data(), 52,
                                        plain.data(), cipher.data(), sizeof tag, tag),
              0);
    mbedtls_gcm_free(&gcm);
    out.insert(out.end(), cipher.begin(), cipher.end());
    out.insert(out.end(), tag, tag + sizeof tag);
    return out;
}

std::unique_ptr<DecodedLayerStream> open_bytes(Stream& source, const std::string& password = "secret") {
    ContainerHeader header;
    if (!detect_layer_header(&source, &header)) return nullptr;
    return open_encrypted(&source, &header, reinterpret_cast<const uint8_t*>(password.data()), password.size());
}

std::unique_ptr<DecodedLayerStream> open_bytes(const Bytes& bytes, const std::string& password = "secret") {
    auto source = test::memory_of(bytes);
    return open_bytes(*source, password);
}

TEST(EncryptedLayer, OpensALayerMadeByTheTools) {
    // tests/layer_tools.py: encrypted_layer(b"MDF     4.10    plaintext", "secret",
    // key_id=0x12A, iterations=10, salt=bytes(range(16)), iv=bytes(range(100, 112)))
    const Bytes bytes = test::from_hex(
        "47656e657269632046696c65000011010000012a6465666768696a6b6c6d6e6f0000000a000102030405060708090a0b0c0d"
        "0e0f5cfb82ceb4796b86c1576d9e61a02cffee7a21fb40bc529209aae0f94057f39ad2838f5363f082132d");
    auto layer = open_bytes(bytes);
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->header().key_identifier, 0x12Au);
    const std::string text = "MDF     4.10    plaintext";
    EXPECT_EQ(layer->tell(), static_cast<int64_t>(text.size()));
    EXPECT_EQ(test::read_all(*layer), Bytes(text.begin(), text.end()));
    EXPECT_EQ(open_bytes(bytes, "Secret"), nullptr);
}

TEST(EncryptedLayer, RoundTripsOfManySizes) {
    for (size_t size : {0, 1, 15, 16, 17, 511, 512, 513, 16383, 16384, 16385, 100000, 9 << 20}) {
        const Bytes plain = test::random_bytes(size, static_cast<uint32_t>(size));
        auto layer = open_bytes(encrypted_layer(plain));
        ASSERT_NE(layer, nullptr) << size;
        EXPECT_EQ(test::read_all(*layer), plain) << size;
    }
}

TEST(EncryptedLayer, FlagByteOneIsAccepted) {
    EncryptSpec spec;
    spec.flag = 1;
    EXPECT_NE(open_bytes(encrypted_layer(test::random_bytes(100, 1), spec)), nullptr);
}

TEST(EncryptedLayer, AwkwardSourcesServeWholeBlocks) {
    const Bytes plain = test::log_like(40000, 2);
    const Bytes bytes = encrypted_layer(plain);
    for (bool one_byte : {false, true}) {
        test::AwkwardStream source(bytes, one_byte);
        auto layer = open_bytes(source);
        ASSERT_NE(layer, nullptr);
        EXPECT_EQ(test::read_all(*layer), plain);
    }
}

TEST(EncryptedLayer, AnyFlippedByteFailsSilently) {
    const Bytes good = encrypted_layer(test::random_bytes(40, 3));
    ASSERT_NE(open_bytes(good), nullptr);
    // From the flag byte on (a changed magic is no layer at all); the high
    // bytes of the iteration count are left alone, as they would only make
    // the key derivation take hours before failing.
    for (size_t at = 12; at < good.size(); ++at) {
        if (at >= 32 && at <= 34) continue;
        for (uint8_t bit : {0x01, 0x80}) {
            Bytes bad = good;
            bad[at] ^= bit;
            test::LogCapture log;
            EXPECT_EQ(open_bytes(bad), nullptr) << at;
            EXPECT_TRUE(log.lines().empty());
        }
    }
}

TEST(EncryptedLayer, WrongOrEmptyPassword) {
    const Bytes bytes = encrypted_layer(test::random_bytes(1000, 4));
    EXPECT_EQ(open_bytes(bytes, "secreT"), nullptr);
    EXPECT_EQ(open_bytes(bytes, ""), nullptr);
    EncryptSpec empty;
    empty.password = "";
    const Bytes no_password = encrypted_layer(test::random_bytes(1000, 5), empty);
    EXPECT_NE(open_bytes(no_password, ""), nullptr);
}

TEST(EncryptedLayer, SizesAroundTheMinimum) {
    const Bytes empty = encrypted_layer({});
    ASSERT_EQ(empty.size(), 68u);
    auto layer = open_bytes(empty);
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->seek(0, kSeekEnd), 0);
    for (size_t size : {20, 31, 35, 51, 52, 60, 67}) {
        Bytes bytes = encrypted_layer(test::random_bytes(10, 6));
        bytes.resize(size);
        EXPECT_EQ(open_bytes(bytes), nullptr) << size;
    }
}

TEST(EncryptedLayer, RefusedHeaders) {
    const Bytes plain = test::random_bytes(64, 7);
    for (auto change : {+[](EncryptSpec& s) { s.footer = 1; }, +[](EncryptSpec& s) { s.version = 2; },
                        +[](EncryptSpec& s) { s.flag = 2; }, +[](EncryptSpec& s) { s.type = 34; }}) {
        EncryptSpec spec;
        change(spec);
        EXPECT_EQ(open_bytes(encrypted_layer(plain, spec)), nullptr);
    }
    MemoryStream source;
    ContainerHeader header;
    EXPECT_EQ(open_encrypted(nullptr, &header, nullptr, 0), nullptr);
    EXPECT_EQ(open_encrypted(&source, nullptr, nullptr, 0), nullptr);
}

TEST(EncryptedLayer, SourceFailingMidwayFails) {
    const Bytes bytes = encrypted_layer(test::random_bytes(50000, 8));
    test::FailingStream source(bytes, 30000);
    EXPECT_EQ(open_bytes(source), nullptr);
}

TEST(EncryptedLayer, EncryptedAroundCompressed) {
    const Bytes content = test::log_like(20000, 9);
    const Bytes bytes = encrypted_layer(test::compressed_layer(test::lzss_encode(content, 12, 4)));
    StreamPtr stream = test::memory_of(bytes);
    ContainerHeader header;
    ASSERT_TRUE(detect_layer_header(stream.get(), &header));
    StreamPtr plain = open_bytes(*stream);
    ASSERT_NE(plain, nullptr);
    close(stream);
    ASSERT_TRUE(detect_layer_header(plain.get(), &header));
    EXPECT_EQ(header.layer_type, 34);
    auto inner = open_compressed(plain.get(), &header);
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(test::read_all(*inner), content);
}

TEST(Pbkdf2, KnownVector) {
    // PBKDF2-HMAC-SHA-256, "password", "salt", 1 iteration (RFC 7914's table).
    uint8_t key[32];
    ASSERT_TRUE(pbkdf2_hmac_sha256(reinterpret_cast<const uint8_t*>("password"), 8,
                                           reinterpret_cast<const uint8_t*>("salt"), 4, 1, key, sizeof key));
    EXPECT_EQ(Bytes(key, key + 32),
              test::from_hex("120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b"));
}

}  // namespace
}  // namespace tolvar::stream
