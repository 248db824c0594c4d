#include "stream/zlib_inflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

namespace tolvar::stream {
namespace {

std::vector<uint8_t> deflated(const std::vector<uint8_t>& data) {
    uLongf size = compressBound(data.size());
    std::vector<uint8_t> out(size);
    EXPECT_EQ(compress2(out.data(), &size, data.data(), data.size(), 6), Z_OK);
    out.resize(size);
    return out;
}

std::vector<uint8_t> pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 7) ^ (i >> 5));
    return v;
}

TEST(ZlibInflateTest, GivesExactlyTheDeclaredBytes) {
    for (size_t n : {size_t{0}, size_t{1}, size_t{1000}, size_t{300000}}) {
        const std::vector<uint8_t> data = pattern(n);
        const std::vector<uint8_t> packed = deflated(data);
        std::vector<uint8_t> out(n + 1, 0xEE);
        ASSERT_TRUE(inflate_exact(packed.data(), packed.size(), out.data(), n)) << n;
        EXPECT_TRUE(std::equal(data.begin(), data.end(), out.begin())) << n;
        EXPECT_EQ(out[n], 0xEE) << n;
    }
}

struct Damage {
    const char* name;
    int64_t declared_change;  // added to the true size
    size_t cut;               // bytes cut from the end of the stream
    bool garble;              // the stream's bytes after its header overwritten
};

class ZlibInflateDamageTest : public ::testing::TestWithParam<Damage> {};

TEST_P(ZlibInflateDamageTest, IsRefusedWithoutWritingPastTheBuffer) {
    const Damage& d = GetParam();
    const std::vector<uint8_t> data = pattern(5000);
    std::vector<uint8_t> packed = deflated(data);
    packed.resize(packed.size() - d.cut);
    if (d.garble) std::memset(packed.data() + 2, 0xFF, packed.size() - 2);
    const size_t declared = static_cast<size_t>(static_cast<int64_t>(data.size()) + d.declared_change);
    std::vector<uint8_t> out(declared + 64, 0xEE);
    EXPECT_FALSE(inflate_exact(packed.data(), packed.size(), out.data(), declared));
    for (size_t i = declared; i < out.size(); ++i) ASSERT_EQ(out[i], 0xEE) << i;
}

INSTANTIATE_TEST_SUITE_P(Cases, ZlibInflateDamageTest,
                         ::testing::Values(Damage{"more_than_declared", -1, 0, false},
                                           Damage{"far_more_than_declared", -4999, 0, false},
                                           Damage{"less_than_declared", 1, 0, false},
                                           Damage{"cut_short", 0, 6, false},
                                           Damage{"garbled", 0, 0, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ZlibInflateTest, NamesTheLibrary) { EXPECT_EQ(std::string(zlib_version_text()).rfind("zlib ", 0), 0u); }

}  // namespace
}  // namespace tolvar::stream
