// The byte stream every reader in the system goes through. A Stream is owned
// by whoever created it (StreamPtr) and released through close(); a wrapping
// stream borrows the stream below it unless its own header says otherwise.
#pragma once

#include <cstdint>
#include <memory>

namespace tolvar::stream {

// The result of an operation that a stream kind does not supply.
constexpr int64_t kAbsent = -2;

enum Whence : int { kSeekSet = 0, kSeekCur = 1, kSeekEnd = 2 };

// Every operation defaults to "absent" (-2); a kind overrides what it
// supplies. Negative results are failures.
class Stream {
public:
    Stream() = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    virtual ~Stream() = default;

    // Bytes placed into buffer (at most n), 0 at the end, negative on failure.
    virtual int64_t read(void* buffer, uint64_t n);
    // Bytes taken from buffer, negative on failure.
    virtual int64_t write(const void* buffer, uint64_t n);
    // Current position, negative on failure.
    virtual int64_t tell();
    // New position, negative on failure. whence: 0 start, 1 current, 2 end.
    virtual int64_t seek(int64_t offset, int whence);
    // Releases what the stream holds. 0 on success, a kind-specific non-zero
    // value otherwise. No operation may follow it.
    virtual int close();

    // Total size: tells, seeks to the end, tells, and seeks back to where it
    // was. Negative on failure.
    int64_t size();
};

using StreamPtr = std::unique_ptr<Stream>;

// Closes and releases an owned stream; 0 for an empty pointer.
int close(StreamPtr& stream);

// Reads until n bytes have arrived or the stream has no more, whatever piece
// sizes the stream serves (pipes, raw host file objects). The count that
// arrived before the end or a failed read; -1 when the first read failed.
int64_t read_fully(Stream& stream, void* buffer, uint64_t n);

// Where a seek lands in a stream of `size` bytes that stands at `position`
// and never moves past its end: whence 0 to offset (taken as unsigned) and
// whence 1 to position + offset, both at most the size, whence 2 to the size
// (the offset is not added). -1 for a move before the start, another whence,
// or a position no Stream can name.
int64_t bounded_seek_target(int64_t offset, int whence, uint64_t position, uint64_t size);

}  // namespace tolvar::stream
