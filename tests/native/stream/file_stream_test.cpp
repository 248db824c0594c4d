#include "stream/file_stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace tolvar::stream {
namespace {

// A temporary file holding the given bytes, removed at the end of the test.
class TempFile {
public:
    explicit TempFile(const std::string& content) {
        char name[] = "/tmp/tolvar-file-stream-XXXXXX";
        int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        ::close(fd);
        path_ = name;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

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
    char name[] = "/tmp/tolvar-sparse-XXXXXX";
    int fd = mkstemp(name);
    ASSERT_GE(fd, 0);
    const off_t far = (off_t{5} << 30) + 3;
    const bool written = pwrite(fd, "MARK", 4, far) == 4;
    ::close(fd);
    struct Remove {
        const char* path;
        ~Remove() { std::remove(path); }
    } remove{name};
    if (!written) GTEST_SKIP() << "the file system holds no 5 GiB sparse file";

    auto s = FileStream::open(name);
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
