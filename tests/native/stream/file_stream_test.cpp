#include "stream/file_stream.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "system_files.h"

namespace tolvar::stream {
namespace {

using TempFile = test::TemporaryFile;

TEST(FileStream, OpenFailsForNullOrMissingPaths) {
    EXPECT_EQ(FileStream::open(nullptr), nullptr);
    EXPECT_EQ(FileStream::open("/nonexistent/dir/file.mf4"), nullptr);
}

TEST(FileStream, ReadsUntilTheEndThenReturnsZero) {
    TempFile f("0123456789");
    auto s = FileStream::open(f.path());
    ASSERT_NE(s, nullptr);
    char buf[16];
    EXPECT_EQ(s->read(buf, 4), 4);
    EXPECT_EQ(s->read(buf, 16), 6);
    EXPECT_EQ(std::string(buf, 6), "456789");
    EXPECT_EQ(s->read(buf, 16), 0);
}

TEST(FileStream, SeekToTheCachedPositionSkipsTheFileLibrary) {
    TempFile f("0123456789");
    auto s = FileStream::open(f.path());
    char buf[4];
    ASSERT_EQ(s->read(buf, 4), 4);
    const uint64_t before = s->library_seeks();
    EXPECT_EQ(s->seek(4, kSeekSet), 4);
    EXPECT_EQ(s->library_seeks(), before);
    EXPECT_EQ(s->seek(2, kSeekSet), 2);
    EXPECT_EQ(s->library_seeks(), before + 1);
    ASSERT_EQ(s->read(buf, 1), 1);
    EXPECT_EQ(buf[0], '2');
}

TEST(FileStream, SeeksFromEachOriginAndRefusesOthers) {
    TempFile f("0123456789");
    auto s = FileStream::open(f.path());
    EXPECT_EQ(s->seek(-3, kSeekEnd), 7);
    EXPECT_EQ(s->seek(-2, kSeekCur), 5);
    EXPECT_EQ(s->tell(), 5);
    EXPECT_EQ(s->seek(0, 3), -1);
    EXPECT_EQ(s->tell(), 5);
    EXPECT_EQ(s->seek(-100, kSeekSet), -1);
}

TEST(FileStream, SizeRestoresThePosition) {
    TempFile f("0123456789");
    auto s = FileStream::open(f.path());
    s->seek(6, kSeekSet);
    EXPECT_EQ(s->size(), 10);
    EXPECT_EQ(s->tell(), 6);
    char c;
    ASSERT_EQ(s->read(&c, 1), 1);
    EXPECT_EQ(c, '6');
}

TEST(FileStream, PositionsBeyondFourGibibytesStayExact) {
    // A sparse file: 5 GiB of hole, then a marker. Offsets of 32 bits would
    // wrap and land somewhere in the hole without an error.
    const std::string name = test::temporary_name("sparse");
    const int64_t far = (int64_t{5} << 30) + 3;
    const bool written = test::write_file_at(name, far, "MARK", 4);
    struct Remove {
        const std::string& path;
        ~Remove() { test::remove_file(path); }
    } remove{name};
    if (!written) GTEST_SKIP() << "the file system holds no 5 GiB sparse file";

    auto s = FileStream::open(name.c_str());
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->size(), static_cast<int64_t>(far) + 4);
    EXPECT_EQ(s->seek(far, kSeekSet), static_cast<int64_t>(far));
    char buf[4];
    ASSERT_EQ(s->read(buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "MARK");
    EXPECT_EQ(s->tell(), static_cast<int64_t>(far) + 4);
    // The cached position is exact too: a seek back to it needs no library call.
    const uint64_t seeks = s->library_seeks();
    EXPECT_EQ(s->seek(far + 4, kSeekSet), static_cast<int64_t>(far) + 4);
    EXPECT_EQ(s->library_seeks(), seeks);
    EXPECT_EQ(s->seek(-4, kSeekEnd), static_cast<int64_t>(far));
}

// Names in several scripts, as the interpreter hands them over (UTF-8):
// Windows opens them only through its wide-character calls.
class FileStreamNames : public ::testing::TestWithParam<const char*> {};

TEST_P(FileStreamNames, ANameInAnyScriptOpensAndReads) {
    TempFile f("0123456789", GetParam(), ".mf4");
    ASSERT_TRUE(f.written());
    auto s = FileStream::open(f.path());
    ASSERT_NE(s, nullptr) << f.path();
    char buf[4];
    ASSERT_EQ(s->read(buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(s->size(), 10);
}

TEST_P(FileStreamNames, AMissingNameInAnyScriptGivesNoStream) {
    const std::string name = test::temporary_name(GetParam(), ".mf4");
    EXPECT_EQ(FileStream::open(name.c_str()), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Scripts, FileStreamNames,
                         ::testing::Values("Messfahrt-\xc3\x84\xc3\xb6\xc3\x9f",              // Latin: Äöß
                                           "\xe6\xb8\xa9\xe5\xba\xa6-\xd0\x96",               // CJK and Cyrillic
                                           "log-\xf0\x9f\x9a\x97-\xce\xb1\xce\xb2"));     // beyond 16 bits, Greek

TEST(FileStream, AbsentWriteGivesMinusTwo) {
    TempFile f("x");
    StreamPtr s = FileStream::open(f.path());
    EXPECT_EQ(s->write("a", 1), kAbsent);
    EXPECT_EQ(close(s), 0);
}

// A kind that supplies nothing: every dispatch reports the absent operation.
class BareStream final : public Stream {};

TEST(Stream, EveryAbsentOperationGivesMinusTwo) {
    BareStream s;
    char c;
    EXPECT_EQ(s.read(&c, 1), kAbsent);
    EXPECT_EQ(s.write(&c, 1), kAbsent);
    EXPECT_EQ(s.tell(), kAbsent);
    EXPECT_EQ(s.seek(0, kSeekSet), kAbsent);
    EXPECT_EQ(s.size(), kAbsent);
    EXPECT_EQ(s.close(), 0);
}

}  // namespace
}  // namespace tolvar::stream
