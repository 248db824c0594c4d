#include "stream/compressed_layer.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstdlib>

#include "layer_test_util.h"

namespace tolvar::stream {
namespace {

using test::Bytes;
using test::CompressedSpec;

std::unique_ptr<DecodedLayerStream> open_bytes(Stream& source, uint64_t limit = kNoDecodedLimit) {
    ContainerHeader header;
    if (!detect_layer_header(&source, &header)) return nullptr;
    return open_compressed(&source, &header, limit);
}

std::unique_ptr<DecodedLayerStream> open_bytes(const Bytes& bytes, uint64_t limit = kNoDecodedLimit) {
    auto source = test::memory_of(bytes);
    return open_bytes(*source, limit);
}

TEST(CompressedLayer, OpensWithAndWithoutFooter) {
    const Bytes data = test::log_like(100000, 9);
    for (bool footer : {true, false}) {
        CompressedSpec spec;
        spec.footer = footer;
        test::LogCapture log;
        auto layer = open_bytes(test::compressed_layer(test::lzss_encode(data, 12, 4), spec));
        ASSERT_NE(layer, nullptr);
        EXPECT_TRUE(log.lines().empty());
        EXPECT_EQ(layer->header().layer_type, 34);
        EXPECT_EQ(layer->window_word(), 4096u);
        EXPECT_EQ(layer->lookahead_word(), 4u);
        // Positioned at the end of the content; seek from the end gives the size.
        EXPECT_EQ(layer->tell(), static_cast<int64_t>(data.size()));
        EXPECT_EQ(layer->seek(0, kSeekEnd), static_cast<int64_t>(data.size()));
        EXPECT_EQ(test::read_all(*layer), data);
    }
}

TEST(CompressedLayer, EveryLayerReadsThroughAwkwardSources) {
    const Bytes data = test::log_like(30000, 10);
    const Bytes bytes = test::compressed_layer(test::lzss_encode(data, 10, 6), {6, 1u << 10});
    for (bool one_byte : {false, true}) {
        test::AwkwardStream source(bytes, one_byte);
        auto layer = open_bytes(source);
        ASSERT_NE(layer, nullptr);
        EXPECT_EQ(test::read_all(*layer), data);
    }
}

TEST(CompressedLayer, SpecialParameterWords) {
    // The lowest set bit of the window word counts; only the low 8 bits of
    // the lookahead word do.
    const Bytes payload = test::from_hex("A08008");
    auto layer = open_bytes(test::compressed_layer(payload, {0xABCD0004, 0x00000300}));
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(test::read_all(*layer), test::from_hex("41414141"));
}

TEST(CompressedLayer, EmptyPayload) {
    CompressedSpec no_footer;
    no_footer.footer = false;
    auto plain = open_bytes(test::compressed_layer({}, no_footer));
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(plain->seek(0, kSeekEnd), 0);
    const Bytes with_footer = test::compressed_layer({});
    ASSERT_EQ(with_footer.size(), 32u);
    EXPECT_EQ(Bytes(with_footer.end() - 4, with_footer.end()), test::from_hex("FFFFFFFF"));
    EXPECT_NE(open_bytes(with_footer), nullptr);
}

struct Refusal {
    const char* name;
    CompressedSpec spec;
};

class CompressedRefusal : public testing::TestWithParam<Refusal> {};

TEST_P(CompressedRefusal, FailsWithoutAMessage) {
    test::LogCapture log;
    const Bytes payload = test::from_hex("A08008");
    EXPECT_EQ(open_bytes(test::compressed_layer(payload, GetParam().spec)), nullptr);
    EXPECT_TRUE(log.lines().empty());
}

CompressedSpec with(void (*change)(CompressedSpec&)) {
    CompressedSpec spec{4, 1u << 8};
    change(spec);
    return spec;
}

INSTANTIATE_TEST_SUITE_P(
    Header, CompressedRefusal,
    testing::Values(Refusal{"type17", with([](CompressedSpec& s) { s.type = 17; })},
                    Refusal{"type99", with([](CompressedSpec& s) { s.type = 99; })},
                    Refusal{"version2", with([](CompressedSpec& s) { s.version = 2; })},
                    Refusal{"version0", with([](CompressedSpec& s) { s.version = 0; })},
                    Refusal{"flag_differs", with([](CompressedSpec& s) { s.flag = 0; })},
                    Refusal{"flag2", with([](CompressedSpec& s) { s.flag = 2; })},
                    Refusal{"window3", with([](CompressedSpec& s) { s.window_word = 8; })},
                    Refusal{"window16", with([](CompressedSpec& s) { s.window_word = 0x10000; })},
                    Refusal{"window0", with([](CompressedSpec& s) { s.window_word = 0; })},
                    Refusal{"lookahead2", with([](CompressedSpec& s) { s.lookahead_word = 2; })},
                    Refusal{"lookahead_equals_window", with([](CompressedSpec& s) { s.lookahead_word = 8; })},
                    Refusal{"lookahead_low_byte0", with([](CompressedSpec& s) { s.lookahead_word = 0x100; })}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(CompressedLayer, ShortParameterWords) {
    for (size_t size : {20, 23, 27}) {
        Bytes bytes = test::compressed_layer({}, {4, 256});
        bytes.resize(size);
        EXPECT_EQ(open_bytes(bytes), nullptr) << size;
    }
}

TEST(CompressedLayer, WrongChecksumIsLoggedAndRefused) {
    CompressedSpec spec{4, 256};
    spec.inverted_crc = true;
    const Bytes payload = test::from_hex("A08008");
    test::LogCapture log;
    EXPECT_EQ(open_bytes(test::compressed_layer(payload, spec)), nullptr);
    const uint32_t ours = crc_update(kCrcInitial, payload.data(), payload.size());
    char expected[96];
    std::snprintf(expected, sizeof expected, "Could not validate checksum, expected %08X but found %08X", ~ours, ours);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], expected);
}

TEST(CompressedLayer, AnyFlippedPayloadOrFooterByteIsRefused) {
    const Bytes good = test::compressed_layer(test::lzss_encode(test::log_like(2000, 1), 9, 4), {4, 512});
    for (size_t at = 28; at < good.size(); ++at) {
        Bytes bad = good;
        bad[at] ^= 0x10;
        test::LogCapture log;
        EXPECT_EQ(open_bytes(bad), nullptr) << at;
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_EQ(log.lines()[0].rfind("Could not validate checksum, expected ", 0), 0u);
    }
}

TEST(CompressedLayer, MissingFooterIsLoggedAndRefused) {
    const Bytes bytes = test::compressed_layer(test::from_hex("A08008"), {4, 256});
    // The size is found, but the footer cannot be read afterwards.
    test::FailingStream source(bytes, bytes.size(), 1);
    test::LogCapture log;
    EXPECT_EQ(open_bytes(source), nullptr);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "Expected to read out CRC from footer, but found none");
}

TEST(CompressedLayer, SourceFailingMidwayIsRefused) {
    // Without a footer a read error would otherwise pass a truncated layer.
    CompressedSpec spec;
    spec.footer = false;
    const Bytes bytes = test::compressed_layer(test::lzss_encode(test::random_bytes(8000, 2), 12, 4), spec);
    test::FailingStream source(bytes, 3000);
    EXPECT_EQ(open_bytes(source), nullptr);
}

TEST(CompressedLayer, DecodedSizeLimit) {
    const Bytes data = test::log_like(10000, 4);
    const Bytes bytes = test::compressed_layer(test::lzss_encode(data, 12, 4));
    EXPECT_NE(open_bytes(bytes, data.size()), nullptr);
    EXPECT_EQ(open_bytes(bytes, data.size() - 1), nullptr);
}

TEST(CompressedLayer, RefusesNullArguments) {
    MemoryStream source;
    ContainerHeader header;
    EXPECT_EQ(open_compressed(nullptr, &header), nullptr);
    EXPECT_EQ(open_compressed(&source, nullptr), nullptr);
}

// The densest expansion: one literal, then references of distance 1 and the
// greatest length (2^14 bytes per 30 bits).
[[maybe_unused]] Bytes bomb_payload(uint64_t decoded) {
    test::BitWriter bits;
    bits.literal(0);
    for (uint64_t left = decoded - 1; left > 0;) {
        const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(left, 1u << 14));
        bits.reference(1, length, 15, 14);
        left -= length;
    }
    return bits.finish();
}

// A compressed layer of header, parameter words, `zeros` zero bytes of
// payload and the footer, served without holding the payload in memory.
class ZeroPayloadLayer final : public Stream {
public:
    explicit ZeroPayloadLayer(uint64_t zeros) : zeros_(zeros) {
        head_ = test::layer_header(34, 0, 1, 1);
        test::put_u32_be(head_, 14);
        test::put_u32_be(head_, 1u << 15);
        static const uint8_t kZeros[1 << 16] = {};
        uint32_t crc = kCrcInitial;
        for (uint64_t left = zeros; left > 0;) {
            const uint64_t n = std::min<uint64_t>(left, sizeof kZeros);
            crc = crc_update(crc, kZeros, n);
            left -= n;
        }
        test::put_u32_be(tail_, crc);
    }
    uint64_t size_bytes() const { return head_.size() + zeros_ + tail_.size(); }
    int64_t read(void* buffer, uint64_t n) override {
        auto* out = static_cast<uint8_t*>(buffer);
        uint64_t done = 0;
        while (done < n && position_ < size_bytes()) {
            const uint64_t tail_at = head_.size() + zeros_;
            if (position_ < head_.size()) {
                out[done] = head_[position_];
            } else if (position_ < tail_at) {
                const uint64_t run = std::min(n - done, tail_at - position_);
                std::memset(out + done, 0, run);
                done += run;
                position_ += run;
                continue;
            } else {
                out[done] = tail_[position_ - tail_at];
            }
            ++done;
            ++position_;
        }
        return static_cast<int64_t>(done);
    }
    int64_t tell() override { return static_cast<int64_t>(position_); }
    int64_t seek(int64_t offset, int whence) override {
        const int64_t base = whence == kSeekSet ? 0
                             : whence == kSeekCur ? static_cast<int64_t>(position_)
                                                  : static_cast<int64_t>(size_bytes());
        if (base + offset < 0) return -1;
        position_ = static_cast<uint64_t>(base + offset);
        return static_cast<int64_t>(position_);
    }

private:
    Bytes head_;
    Bytes tail_;
    uint64_t zeros_;
    uint64_t position_ = 0;
};

TEST(CompressedLayer, LargerThanTwoGigabytesWithFooter) {
#if defined(__SANITIZE_ADDRESS__) || !defined(__OPTIMIZE__)
    GTEST_SKIP() << "decodes a 2 GiB payload: optimised builds without sanitizers only";
#endif
    // The layer's size does not fit in 31 bits; the payload must still end 4
    // bytes before the end, or the footer is decoded and the checksum fails.
    // 30 zero bits are a reference of distance 1 and length 1: one byte out.
    const uint64_t zeros = (uint64_t{1} << 31) + 32;
    ZeroPayloadLayer source(zeros);
    ASSERT_GT(source.size_bytes(), uint64_t{1} << 31);
    test::LogCapture log;
    auto layer = open_bytes(source);
    ASSERT_NE(layer, nullptr);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(layer->seek(0, kSeekEnd), static_cast<int64_t>(zeros * 8 / 30));
}

TEST(CompressedLayer, ContentTooLargeForMemoryFailsCleanly) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
#elif defined(_WIN32)
    GTEST_SKIP() << "needs fork() and an address-space limit (setrlimit), which Windows lacks";
#else
    // About 1 MiB that expands to 4 GiB, opened in a child limited to 1 GiB of
    // address space: the opener must give up, not crash.
    const Bytes bytes = test::compressed_layer(bomb_payload(uint64_t{4} << 30), {14, 1u << 15});
    ASSERT_LT(bytes.size(), 2u << 20);
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit limit{uint64_t{1} << 30, uint64_t{1} << 30};
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
        // qemu-user accepts the limit without applying it: nothing to test.
        if (void* probe = std::malloc(size_t{2} << 30)) {
            std::free(probe);
            _exit(4);
        }
        auto source = test::memory_of(bytes);
        _exit(open_bytes(*source) == nullptr ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child died with signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    if (WEXITSTATUS(status) == 4) GTEST_SKIP() << "the address-space limit is not enforced here (as under qemu-user)";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_LT(seconds, 30.0);
#endif
}

}  // namespace
}  // namespace tolvar::stream
