#include "stream/container_header.h"

#include <gtest/gtest.h>

#include "layer_test_util.h"
#include "stream/compressed_layer.h"
#include "stream/decoded_layer_stream.h"

namespace tolvar::stream {
namespace {

using test::Bytes;

TEST(ContainerHeader, HeaderAloneIsDetectedAndFieldsLandInTheirPlaces) {
    // Type at offset 14, version at 15: the record keeps them the other way round.
    Bytes bytes = test::layer_header(34, 0x0000012A, 1, 0, 7);
    auto stream = test::memory_of(bytes);
    ContainerHeader header;
    ASSERT_TRUE(detect_layer_header(stream.get(), &header));
    EXPECT_EQ(header.layer_type, 34);
    EXPECT_EQ(header.version, 7);
    EXPECT_EQ(header.flag, 1);
    EXPECT_EQ(header.footer_flag, 0);
    EXPECT_EQ(header.key_identifier, 298u);
    // The opener then fails on the missing parameter words.
    EXPECT_EQ(open_compressed(stream.get(), &header), nullptr);
}

TEST(ContainerHeader, UnknownLayerTypeIsStillDetected) {
    auto stream = test::memory_of(test::layer_header(99));
    ContainerHeader header;
    EXPECT_TRUE(detect_layer_header(stream.get(), &header));
    EXPECT_EQ(header.layer_type, 99);
}

TEST(ContainerHeader, NotALayer) {
    ContainerHeader header;
    Bytes wrong_magic = test::layer_header(34);
    wrong_magic[11] = 'E';
    EXPECT_FALSE(detect_layer_header(test::memory_of(wrong_magic).get(), &header));
    Bytes short_header = test::layer_header(34);
    short_header.resize(19);
    EXPECT_FALSE(detect_layer_header(test::memory_of(short_header).get(), &header));
    EXPECT_FALSE(detect_layer_header(test::memory_of({}).get(), &header));
    EXPECT_FALSE(detect_layer_header(nullptr, &header));
    // An MDF 4 file starts with its identification block.
    Bytes mdf(64, ' ');
    std::memcpy(mdf.data(), "MDF     4.10    ", 16);
    EXPECT_FALSE(detect_layer_header(test::memory_of(mdf).get(), &header));
}

TEST(ContainerHeader, DetectionWorksOnAwkwardStreams) {
    ContainerHeader header;
    test::AwkwardStream stream(test::layer_header(17, 0xDEADBEEF), true);
    ASSERT_TRUE(detect_layer_header(&stream, &header));
    EXPECT_EQ(header.key_identifier, 0xDEADBEEFu);
}

TEST(DecodedLayerStream, ForwardsToItsContent) {
    auto content = std::make_unique<MemoryStream>();
    content->write("0123456789", 10);
    DecodedLayerStream layer(ContainerHeader{}, std::move(content));
    EXPECT_EQ(layer.seek(0, kSeekEnd), 10);
    EXPECT_EQ(layer.seek(4, kSeekSet), 4);
    char out[16] = {};
    EXPECT_EQ(layer.read(out, sizeof out), 6);
    EXPECT_STREQ(out, "456789");
    EXPECT_EQ(layer.tell(), 10);
    EXPECT_EQ(layer.size(), 10);
    EXPECT_EQ(layer.close(), 0);
    EXPECT_EQ(layer.content(), nullptr);
    EXPECT_EQ(layer.read(out, 1), -1);
}

TEST(DecodedLayerStream, NestedLayersAreDetectedAgain) {
    // A compressed layer whose content is another compressed layer.
    const Bytes inner_content = test::log_like(3000, 5);
    const Bytes inner = test::compressed_layer(test::lzss_encode(inner_content, 12, 4));
    const Bytes outer = test::compressed_layer(test::lzss_encode(inner, 10, 5), {5, 1u << 10});
    StreamPtr stream = test::memory_of(outer);
    ContainerHeader header;
    int layers = 0;
    while (detect_layer_header(stream.get(), &header)) {
        auto layer = open_compressed(stream.get(), &header);
        ASSERT_NE(layer, nullptr);
        close(stream);
        stream = std::move(layer);
        ++layers;
    }
    EXPECT_EQ(layers, 2);
    EXPECT_EQ(test::read_all(*stream), inner_content);
}

}  // namespace
}  // namespace tolvar::stream
