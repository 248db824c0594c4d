// An opened MDF 4 file: the tree of parsed blocks, rooted at the
// identification block, that the document owns through a shared reference.
// The Stream is borrowed and must outlive the document and its iterators.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "mdf/block.h"
#include "mdf/block_cache.h"
#include "stream/stream.h"

namespace tolvar::mdf {

class HdBlock;
class IdBlock;

class MdfDocument {
public:
    // Parses the whole block tree (identification block at 0, header block at
    // 64 with everything below it) and repairs the last data block of an
    // unfinalised recording. Null when the stream is null or the tree cannot
    // be read; the block parsers have logged why. Logs nothing of its own.
    // `options` is what the parse is asked for (ParseOptions).
    static std::unique_ptr<MdfDocument> open(stream::Stream* stream, ParseOptions options = {});

    MdfDocument(const MdfDocument&) = delete;
    MdfDocument& operator=(const MdfDocument&) = delete;
    // Releases the block tree; the stream is not touched.
    ~MdfDocument();

    // The header block's data groups (DgBlocks) in chain order.
    const BlockList& data_groups() const;
    // The recording's start in seconds since 1970-01-01 UTC (time-zone fields
    // not applied).
    double start_time() const;
    HdBlock* header_block() const;
    IdBlock* id_block() const;
    // The header block's comment text when the comment is XML metadata (a
    // metadata block), with its full length (zero bytes inside included); null for
    // no comment or a plain text block.
    const std::string* metadata_xml() const;
    // The header block's comment text whatever its kind (text or metadata block);
    // null when there is no comment.
    const std::string* comment_text() const;

    // Whether the recording was finalised: its file identifier is "MDF     "
    // and it states nothing left to update (before any repair).
    bool finalised() const { return finalised_; }

    stream::Stream* stream() const { return stream_; }
    const ParseOptions& options() const { return options_; }

private:
    explicit MdfDocument(stream::Stream* stream) : stream_(stream) {}
    void repair_unfinalised();

    stream::Stream* stream_;         // borrowed
    ParseOptions options_;
    bool finalised_ = true;
    BlockRef id_block_;  // root of the tree
};

}  // namespace tolvar::mdf
