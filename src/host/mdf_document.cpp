#include "host/mdf_document.h"

#include <new>

#include "bus/data_group.h"
#include "mdf/block_cache.h"
#include "mdf/data_block.h"
#include "mdf/header_block.h"
#include "mdf/id_block.h"
#include "mdf/metadata_block.h"
#include "mdf/text_block.h"


namespace tolvar {

namespace {

constexpr uint64_t kIdBlockOffset = 0;
constexpr uint64_t kHeaderBlockOffset = 64;

const mdf::BlockList& empty_list() {
    static const mdf::BlockList list;
    return list;
}

mdf::DtBlock* data_block_of(const mdf::BlockRef& group) {
    const auto* dg = mdf::as<bus::DgBlock>(group);
    return dg != nullptr ? bus::data_block(*dg) : nullptr;
}

}  // namespace

std::unique_ptr<MdfDocument> MdfDocument::open(Stream* stream) {
    if (stream == nullptr) return nullptr;
    std::unique_ptr<MdfDocument> document(new (std::nothrow) MdfDocument(stream));
    if (!document) return nullptr;
    {
        // Lives for the parse only: every offset parses into one block while
        // the tree is built, and nothing is looked up afterwards.
        mdf::BlockCache cache;
        mdf::BlockRef id = mdf::parse_block_at(*stream, kIdBlockOffset, cache);
        auto* id_block = mdf::as<mdf::IdBlock>(id);
        if (id_block == nullptr) return nullptr;
        mdf::BlockRef header = mdf::parse_block_at(*stream, kHeaderBlockOffset, cache);
        if (mdf::as<mdf::HdBlock>(header) == nullptr) return nullptr;
        id_block->header_block = std::move(header);
        document->id_block_ = std::move(id);
    }
    if (document->id_block()->unfinalised_flags & mdf::IdBlock::kUpdateLastDataBlockLength) {
        document->repair_unfinalised();
    }
    return document;
}

MdfDocument::~MdfDocument() = default;

// A recording that was never finalised has a last data block whose length was
// not written: it gets the rest of the stream, so the records up to the last
// complete one can be read.
void MdfDocument::repair_unfinalised() {
    mdf::IdBlock* id = id_block();
    mdf::DtBlock* last = nullptr;
    for (const mdf::BlockRef& group : data_groups()) {
        mdf::DtBlock* data = data_block_of(group);
        if (data == nullptr) continue;
        // Of equal offsets (one block shared by two groups) the first stays.
        if (last == nullptr || data->offset > last->offset) last = data;
    }
    if (last != nullptr) {
        const int64_t size = stream_->size();
        // The block's header was read at its offset, so a stream that can
        // tell its size is at least that long; one that cannot keeps the
        // length as written.
        if (size >= 0 && static_cast<uint64_t>(size) >= last->offset + mdf::kBlockHeaderSize) {
            last->header.length = static_cast<uint64_t>(size) - last->offset;
        }
    }
    id->unfinalised_flags &= static_cast<uint16_t>(~mdf::IdBlock::kUpdateLastDataBlockLength);
}

mdf::IdBlock* MdfDocument::id_block() const { return mdf::as<mdf::IdBlock>(id_block_); }

mdf::HdBlock* MdfDocument::header_block() const {
    const mdf::IdBlock* id = id_block();
    return id != nullptr ? mdf::as<mdf::HdBlock>(id->header_block) : nullptr;
}

const mdf::BlockList& MdfDocument::data_groups() const {
    const mdf::HdBlock* header = header_block();
    return header != nullptr ? header->data_groups : empty_list();
}

double MdfDocument::start_time() const {
    const mdf::HdBlock* header = header_block();
    return header != nullptr ? static_cast<double>(header->start_time_ns) * 1e-9 : 0.0;
}

const std::string* MdfDocument::metadata_xml() const {
    const mdf::HdBlock* header = header_block();
    if (header == nullptr) return nullptr;
    const auto* md = mdf::as<mdf::MdBlock>(header->comment);
    return md != nullptr ? &md->text : nullptr;
}

const std::string* MdfDocument::comment_text() const {
    const mdf::HdBlock* header = header_block();
    return header != nullptr ? mdf::block_text(header->comment.get()) : nullptr;
}

}  // namespace tolvar
