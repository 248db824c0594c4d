#include "mdf/mdf_document.h"

#include <new>
#include <vector>

#include "mdf/data_group_block.h"
#include "mdf/block_cache.h"
#include "mdf/data_block.h"
#include "mdf/header_block.h"
#include "mdf/id_block.h"
#include "mdf/text_block.h"

namespace tolvar::mdf {

namespace {

constexpr uint64_t kIdBlockOffset = 0;
constexpr uint64_t kHeaderBlockOffset = 64;

const BlockList& empty_list() {
    static const BlockList list;
    return list;
}


}  // namespace

std::unique_ptr<MdfDocument> MdfDocument::open(stream::Stream* stream, ParseOptions options) {
    if (stream == nullptr) return nullptr;
    std::unique_ptr<MdfDocument> document(new (std::nothrow) MdfDocument(stream));
    if (!document) return nullptr;
    document->options_ = options;
    {
        // Lives for the parse only: every offset parses into one block while
        // the tree is built, and nothing is looked up afterwards.
        BlockCache cache(options);
        BlockRef id = parse_block_at(*stream, kIdBlockOffset, cache);
        auto* id_block = as<IdBlock>(id);
        if (id_block == nullptr) return nullptr;
        BlockRef header = parse_block_at(*stream, kHeaderBlockOffset, cache);
        if (as<HdBlock>(header) == nullptr) return nullptr;
        id_block->header_block = std::move(header);
        document->id_block_ = std::move(id);
    }
    document->finalised_ = !document->id_block()->unfinalised_id && document->id_block()->unfinalised_flags == 0 &&
                           document->id_block()->custom_unfinalised_flags == 0;
    if (document->id_block()->unfinalised_flags & IdBlock::kUpdateLastDataBlockLength) {
        document->repair_unfinalised();
    }
    return document;
}

MdfDocument::~MdfDocument() = default;

// A recording that was never finalised has a last data block whose length was
// not written: it gets the rest of the stream, so the records up to the last
// complete one can be read.
void MdfDocument::repair_unfinalised() {
    IdBlock* id = id_block();
    DtBlock* last = nullptr;
    // The block being written is the last data block of a data group (its
    // data block, or the last entry of its data list, read for any writer)
    // that lies last in the file: no data block of any group lies after it.
    const DtBlock* furthest = nullptr;
    for (const BlockRef& group : data_groups()) {
        const auto* dg = as<DgBlock>(group);
        if (dg == nullptr) continue;
        DtBlock* own = data_block(*dg);
        DtBlock* final_entry = dg->data_blocks.empty() ? nullptr : as<DtBlock>(dg->data_blocks.back());
        for (const DtBlock* data : {static_cast<const DtBlock*>(own), static_cast<const DtBlock*>(final_entry)}) {
            if (data != nullptr && (furthest == nullptr || data->offset > furthest->offset)) furthest = data;
        }
        for (const BlockRef& block : dg->data_blocks) {
            const auto* listed = as<DtBlock>(block);
            if (listed != nullptr && (furthest == nullptr || listed->offset > furthest->offset)) furthest = listed;
        }
        // Of equal offsets (one block shared by two groups) the first stays.
        for (DtBlock* data : {own, final_entry}) {
            if (data != nullptr && (last == nullptr || data->offset > last->offset)) last = data;
        }
    }
    if (last != nullptr && furthest != nullptr && furthest->offset > last->offset) last = nullptr;
    if (last != nullptr) {
        const int64_t size = stream_->size();
        // The block's header was read at its offset, so a stream that can
        // tell its size is at least that long; one that cannot keeps the
        // length as written.
        if (size >= 0 && static_cast<uint64_t>(size) >= last->offset + kBlockHeaderSize) {
            last->header.length = static_cast<uint64_t>(size) - last->offset;
        }
    }
    id->unfinalised_flags &= static_cast<uint16_t>(~IdBlock::kUpdateLastDataBlockLength);
}

IdBlock* MdfDocument::id_block() const { return as<IdBlock>(id_block_); }

HdBlock* MdfDocument::header_block() const {
    const IdBlock* id = id_block();
    return id != nullptr ? as<HdBlock>(id->header_block) : nullptr;
}

const BlockList& MdfDocument::data_groups() const {
    const HdBlock* header = header_block();
    return header != nullptr ? header->data_groups : empty_list();
}

double MdfDocument::start_time() const {
    const HdBlock* header = header_block();
    return header != nullptr ? static_cast<double>(header->start_time_ns) * 1e-9 : 0.0;
}

const std::string* MdfDocument::metadata_xml() const {
    const HdBlock* header = header_block();
    if (header == nullptr) return nullptr;
    return block_text(header->comment.get(), BlockKind::kMd);
}

const std::string* MdfDocument::comment_text() const {
    const HdBlock* header = header_block();
    return header != nullptr ? block_text(header->comment.get()) : nullptr;
}

}  // namespace tolvar::mdf
