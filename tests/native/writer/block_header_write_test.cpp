#include <gtest/gtest.h>

#include <cstring>

#include "mdf/block_header.h"
#include "stream/memory_stream.h"
#include "writer/block_writer.h"

namespace tolvar::writer {
namespace {

TEST(WriteBlockHeader, RoundTripsEveryWritableKindAndSkipsTheOthers) {
    for (uint32_t k = 0; k <= 12; ++k) {
        stream::MemoryStream s;
        write_block_header(mdf::BlockHeader{static_cast<mdf::BlockKind>(k), 200 + k, k}, s);
        if (k < 2) {
            EXPECT_EQ(s.content_size(), 0u) << k;
            continue;
        }
        ASSERT_EQ(s.content_size(), 24u);
        EXPECT_EQ(std::memcmp(s.data() + 4, "\0\0\0\0", 4), 0);
        s.seek(0, stream::kSeekSet);
        auto header = mdf::read_block_header(s);
        ASSERT_TRUE(header.has_value());
        EXPECT_EQ(static_cast<uint32_t>(header->kind), k);
        EXPECT_EQ(header->length, 200u + k);
        EXPECT_EQ(header->link_count, k);
    }
}

}  // namespace
}  // namespace tolvar::writer
