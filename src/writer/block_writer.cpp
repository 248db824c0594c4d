#include "writer/block_writer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "log/log.h"
#include "mdf/channel_block.h"
#include "mdf/channel_group_block.h"
#include "mdf/conversion_block.h"
#include "mdf/data_block.h"
#include "mdf/data_group_block.h"
#include "mdf/file_history_block.h"
#include "mdf/header_block.h"
#include "mdf/id_block.h"
#include "mdf/source_info_block.h"
#include "mdf/text_block.h"
#include "stream/field_cursor.h"

namespace tolvar::writer {

namespace {

constexpr uint64_t kMaxPosition = static_cast<uint64_t>(INT64_MAX);
constexpr uint64_t kZeroChunk = 4096;
const uint8_t kZeros[kZeroChunk] = {};

// One more level of nesting for as long as it lives; false past the limit.
class SaveLevel {
public:
    explicit SaveLevel(SaveContext& context) : context_(context), entered_(context.depth < kMaxSaveDepth) {
        if (entered_) ++context_.depth;
    }
    ~SaveLevel() {
        if (entered_) --context_.depth;
    }
    SaveLevel(const SaveLevel&) = delete;
    SaveLevel& operator=(const SaveLevel&) = delete;
    explicit operator bool() const { return entered_; }

private:
    SaveContext& context_;
    bool entered_;
};

// Writes zeros from how far the output has been written up to `offset`, so
// that a block written beyond the output's end leaves no unwritten gap (a
// memory stream would otherwise refuse the seek, or show old bytes there).
bool fill_to(SaveContext& context, uint64_t offset) {
    if (context.stream == nullptr) return false;
    if (context.end >= offset) return true;
    stream::FieldCursor cursor(context.stream, context.end);
    uint64_t left = offset - context.end;
    while (left > 0) {
        const uint64_t n = std::min(left, kZeroChunk);
        if (!cursor.write_bytes(kZeros, n)) return false;
        left -= n;
    }
    context.end = offset;
    return true;
}

// Rounds up to a multiple of 8; false when that would pass the largest
// stream position.
bool align8(uint64_t value, uint64_t& aligned) {
    if (value > kMaxPosition - 7) return false;
    aligned = (value + 7) & ~uint64_t{7};
    return true;
}

// Gives the block its offset: context.next, which then moves on by the bytes
// the block occupies (at least `layout_size`, the bytes its save writes, even
// when its held length is smaller, so blocks never overlap). False, placing
// nothing, when the block's link count is not `link_count` or the output
// would pass the largest stream position.
bool place_block(SaveContext& context, mdf::Block& block, uint64_t link_count, uint64_t layout_size) {
    if (block.header.link_count != link_count) return false;
    const uint64_t size = std::max(block.header.length, layout_size);
    if (context.next > kMaxPosition || size > kMaxPosition - context.next) return false;
    block.offset = context.next;
    context.next += size;
    return true;
}

// Writes n bytes at `offset` of the output through a FieldCursor, after
// zeros for any gap between the output's end and offset. False when a write
// fails.
bool write_at(SaveContext& context, uint64_t offset, const void* data, uint64_t n) {
    if (offset > kMaxPosition || n > kMaxPosition - offset || !fill_to(context, offset)) return false;
    stream::FieldCursor cursor(context.stream, offset);
    if (!cursor.write_bytes(data, n)) return false;
    context.end = std::max(context.end, offset + n);
    return true;
}

void store_u64le(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Writes one block at its offset: the held header (or none, for the
// identification block), then links and data fields in file order. Reserved
// bytes are written as zeros, and finish pads with zeros up to the held
// length. The fields are gathered in memory and written by finish with one
// write, so a tree of a million blocks is not a hundred million stream calls.
class BlockWriter {
public:
    // Writes `header` at `offset` first; with_header false writes none.
    BlockWriter(SaveContext& context, uint64_t offset, const mdf::BlockHeader& header, bool with_header = true);
    // The block's held header at its offset.
    BlockWriter(SaveContext& context, const mdf::Block& block) : BlockWriter(context, block.offset, block.header) {}
    BlockWriter(const BlockWriter&) = delete;
    BlockWriter& operator=(const BlockWriter&) = delete;

    void links(const std::vector<uint64_t>& values);
    void u8(uint8_t value) { bytes(&value, 1); }
    void u16(uint16_t value) { bytes(&value, 2); }
    void i16(int16_t value) { bytes(&value, 2); }
    void u32(uint32_t value) { bytes(&value, 4); }
    void u64(uint64_t value) { bytes(&value, 8); }
    void f64(double value) { bytes(&value, 8); }
    void bytes(const void* data, uint64_t n);
    // Exactly `width` bytes of the text: cut, or padded with zero bytes.
    void fixed_text(const std::string& text, uint64_t width);
    void zeros(uint64_t n);

    // Pads with zeros up to `length` bytes from the block's start (nothing
    // when it has that many already), then writes the header (through
    // write_block_header) and the fields. True when every write succeeded.
    bool finish(uint64_t length);
    // finish with the header's length (for a block without header: nothing).
    bool finish() { return finish(length_); }

    // Bytes from the block's start, the header included.
    uint64_t written() const { return start_ + fields_.size(); }

private:
    SaveContext& context_;
    uint64_t offset_;
    mdf::BlockHeader header_;
    bool with_header_;
    uint64_t start_ = 0;   // where the fields begin relative to offset (after the header)
    uint64_t length_ = 0;  // the header's length
    std::vector<uint8_t> fields_;
};

BlockWriter::BlockWriter(SaveContext& context, uint64_t offset, const mdf::BlockHeader& header, bool with_header)
    : context_(context),
      offset_(offset),
      header_(header),
      with_header_(with_header),
      start_(with_header ? mdf::kBlockHeaderSize : 0),
      length_(with_header ? header.length : 0) {
    fields_.reserve(256);
}

void BlockWriter::links(const std::vector<uint64_t>& values) {
    for (uint64_t link : values) u64(link);
}

void BlockWriter::bytes(const void* data, uint64_t n) {
    if (n == 0) return;
    const size_t at = fields_.size();
    fields_.resize(at + n);
    std::memcpy(fields_.data() + at, data, n);
}

void BlockWriter::fixed_text(const std::string& text, uint64_t width) {
    const uint64_t n = std::min<uint64_t>(text.size(), width);
    bytes(text.data(), n);
    zeros(width - n);
}

void BlockWriter::zeros(uint64_t n) { fields_.insert(fields_.end(), n, 0); }

bool BlockWriter::finish(uint64_t length) {
    if (written() < length) zeros(length - written());
    stream::Stream* out = context_.stream;
    if (out == nullptr || offset_ > kMaxPosition - start_ || !fill_to(context_, offset_)) return false;
    if (with_header_) {
        const auto at = static_cast<int64_t>(offset_);
        if (out->seek(at, stream::kSeekSet) != at) return false;
        write_block_header(header_, *out);
        // The header writer does not report; the position it reached does.
        if (out->tell() != at + static_cast<int64_t>(mdf::kBlockHeaderSize)) return false;
        context_.end = std::max(context_.end, offset_ + mdf::kBlockHeaderSize);
    }
    return write_at(context_, offset_ + start_, fields_.data(), fields_.size());
}


// ---------------------------------------------------------------- kinds

bool save_chain(SaveContext& context, const mdf::BlockList& list, std::vector<uint64_t>& links);
bool save_link(SaveContext& context, const mdf::BlockRef& child, std::vector<uint64_t>& links);

bool save_id(mdf::IdBlock& id, SaveContext& context) {
    if (context.next != 0) return false;
    id.offset = 0;
    context.next = mdf::default_header(mdf::IdBlock::kKind).length;
    BlockWriter out(context, id.offset, id.header, false);
    const bool unfinalised = id.unfinalised_flags != 0 || id.custom_unfinalised_flags != 0;
    out.bytes(unfinalised ? "UnFinMF " : "MDF     ", 8);
    out.fixed_text(id.format_id, 8);
    out.fixed_text(id.program_id, 8);
    out.zeros(4);
    out.u16(id.version);
    out.zeros(30);
    out.u16(id.unfinalised_flags);
    out.u16(id.custom_unfinalised_flags);
    const bool written = out.finish();
    // A file without its header block is no MDF file: that save decides too.
    const bool header_saved = save_block(id.header_block.get(), &context);
    return written && header_saved;
}

bool save_hd(mdf::HdBlock& hd, SaveContext& context) {
    const mdf::BlockHeader layout = mdf::default_header(mdf::HdBlock::kKind);
    if (!place_block(context, hd, layout.link_count, layout.length)) return false;
    std::vector<uint64_t> links;
    if (!save_chain(context, hd.data_groups, links)) return false;
    if (!save_chain(context, hd.file_history, links)) return false;
    links.insert(links.end(), {0, 0, 0});  // channel hierarchy, attachment, event
    if (!save_link(context, hd.comment, links)) return false;

    BlockWriter out(context, hd);
    out.links(links);
    out.u64(hd.start_time_ns);
    out.i16(hd.tz_offset_min);
    out.i16(hd.dst_offset_min);
    out.u8(hd.time_flags);
    out.u8(hd.time_class);
    out.u8(hd.flags);
    out.zeros(1);
    out.f64(hd.start_angle_rad);
    out.f64(hd.start_distance_m);
    return out.finish();
}

bool save_si(mdf::SiBlock& si, SaveContext& context) {
    const mdf::BlockHeader layout = mdf::default_header(mdf::SiBlock::kKind);
    if (!place_block(context, si, layout.link_count, layout.length)) return false;
    std::vector<uint64_t> links;
    if (!save_link(context, si.name, links)) return false;
    if (!save_link(context, si.path, links)) return false;
    if (!save_link(context, si.comment, links)) return false;
    BlockWriter out(context, si);
    out.links(links);
    out.u8(si.source_type);
    out.u8(si.bus_type);
    out.u8(si.flags);
    out.zeros(5);
    return out.finish();
}

bool save_cc(mdf::CcBlock& cc, SaveContext& context) {
    // A count the parameters do not match would write a block that reads back
    // other parameters than this one holds.
    if (cc.cc_val.size() != cc.cc_val_count) return false;
    const mdf::BlockHeader layout = mdf::default_header(mdf::CcBlock::kKind);
    if (!place_block(context, cc, layout.link_count, layout.length + 8 * uint64_t{cc.cc_val_count})) return false;
    std::vector<uint64_t> links;
    if (!save_link(context, cc.name, links)) return false;
    if (!save_link(context, cc.unit, links)) return false;
    if (!save_link(context, cc.comment, links)) return false;
    if (!save_link(context, cc.inverse, links)) return false;
    BlockWriter out(context, cc);
    out.links(links);
    out.u8(cc.cc_type);
    out.u8(cc.cc_precision);
    out.u16(cc.cc_flags);
    out.u16(cc.cc_ref_count);
    out.u16(cc.cc_val_count);
    out.f64(cc.cc_phy_range_min);
    out.f64(cc.cc_phy_range_max);
    for (double value : cc.cc_val) out.f64(value);
    return out.finish();
}

bool save_text(mdf::TextBlock& block, SaveContext& context) {
    if (block.header.link_count != 0) return false;
    const uint64_t at = context.next;
    const uint64_t length = uint64_t{block.text.size()} + mdf::kBlockHeaderSize + 1;
    uint64_t end = 0;
    if (at > UINT64_MAX - length || !align8(at + length, end)) return false;
    block.offset = at;
    context.next = end;
    BlockWriter out(context, at, mdf::BlockHeader{block.kind(), length, 0});
    out.bytes(block.text.data(), block.text.size());
    out.zeros(1);
    return out.finish(end - at);
}

// Copies the data section of a data or signal-data block behind its header.
bool save_section(mdf::SectionBlock& block, SaveContext& context) {
    if (context.next > static_cast<uint64_t>(INT64_MAX) - mdf::kBlockHeaderSize) return false;
    const uint64_t at = context.next;
    block.offset = at;

    // The source: the owned stream whole, or the section up to its size.
    stream::Stream* source = block.owned_stream.get();
    uint64_t limit = UINT64_MAX;
    int64_t was = 0;
    if (source != nullptr) {
        was = source->tell();
    } else {
        source = &block.section;
        limit = block.section.section_size();
        was = static_cast<int64_t>(block.section.position());
    }

    // Every read starts with a seek to the bytes copied so far, so a stream
    // that serves short pieces is copied whole, and a data block whose
    // section moves by the bytes asked for stays in step.
    constexpr uint64_t kChunk = 4096;
    uint8_t buffer[kChunk];
    uint64_t copied = 0;
    bool ok = true;
    while (copied < limit && copied <= static_cast<uint64_t>(INT64_MAX)) {
        if (source->seek(static_cast<int64_t>(copied), stream::kSeekSet) != static_cast<int64_t>(copied)) break;
        const int64_t got = source->read(buffer, std::min(kChunk, limit - copied));
        if (got < 0) ok = false;
        if (got <= 0) break;
        const uint64_t n = static_cast<uint64_t>(got);
        if (!write_at(context, at + mdf::kBlockHeaderSize + copied, buffer, n)) {
            ok = false;
            break;
        }
        copied += n;
    }
    if (was >= 0) source->seek(was, stream::kSeekSet);
    if (!ok) return false;

    const uint64_t length = mdf::kBlockHeaderSize + copied;
    uint64_t end = 0;
    if (!align8(at + length, end)) return false;
    context.next = end;
    BlockWriter head(context, at, mdf::BlockHeader{block.kind(), length, 0});
    if (!head.finish(mdf::kBlockHeaderSize)) return false;
    BlockWriter padding(context, at + length, mdf::BlockHeader{}, false);
    return padding.finish(end - at - length);
}


bool save_fh_member(mdf::FhBlock& fh, SaveContext& context, uint64_t next_link) {
    std::vector<uint64_t> links{next_link};
    if (!save_link(context, fh.comment, links)) return false;
    BlockWriter out(context, fh);
    out.links(links);
    out.u64(fh.time_ns);
    out.i16(fh.tz_offset_min);
    out.i16(fh.dst_offset_min);
    out.u8(fh.time_flags);
    out.zeros(3);
    return out.finish();
}

bool save_dg_member(mdf::DgBlock& dg, SaveContext& context, uint64_t next_link) {
    std::vector<uint64_t> links{next_link};
    if (!save_chain(context, dg.channel_groups, links)) return false;
    if (!save_link(context, dg.data, links)) return false;
    if (!save_link(context, dg.comment, links)) return false;
    BlockWriter out(context, dg);
    out.links(links);
    out.u8(dg.rec_id_size);
    out.zeros(7);
    return out.finish();
}

bool save_cg_member(mdf::CgBlock& cg, SaveContext& context, uint64_t next_link) {
    std::vector<uint64_t> links{next_link};
    if (!save_chain(context, cg.channels, links)) return false;
    if (!save_link(context, cg.acquisition_name, links)) return false;
    if (!save_link(context, cg.acquisition_source, links)) return false;
    links.push_back(0);  // sample reduction
    if (!save_link(context, cg.comment, links)) return false;
    BlockWriter out(context, cg);
    out.links(links);
    out.u64(cg.record_id);
    out.u64(cg.cycle_count);
    out.u16(cg.cg_flags);
    out.u16(cg.path_separator);
    out.zeros(4);
    out.u32(cg.data_bytes);
    out.u32(cg.inval_bytes);
    return out.finish();
}

bool save_cn_member(mdf::CnBlock& cn, SaveContext& context, uint64_t next_link) {
    std::vector<uint64_t> links{next_link};
    if (!save_chain(context, cn.components, links)) return false;
    for (const mdf::BlockRef* child : {&cn.name, &cn.source, &cn.conversion, &cn.data, &cn.unit, &cn.comment}) {
        if (!save_link(context, *child, links)) return false;
    }
    BlockWriter out(context, cn);
    out.links(links);
    out.u8(cn.cn_type);
    out.u8(cn.sync_type);
    out.u8(cn.data_type);
    out.u8(cn.bit_offset);
    out.u32(cn.byte_offset);
    out.u32(cn.bit_count);
    out.u32(cn.flags);
    out.u32(cn.inval_bit_pos);
    out.u8(cn.precision);
    out.zeros(1);
    out.u16(cn.attachment_count);
    for (double value :
         {cn.val_range_min, cn.val_range_max, cn.limit_min, cn.limit_max, cn.limit_ext_min, cn.limit_ext_max}) {
        out.f64(value);
    }
    const bool ok = out.finish();
    const uint64_t expected = cn.offset + cn.header.length;
    const int64_t at = context.stream->tell();
    if (at < 0 || static_cast<uint64_t>(at) != expected) {
        TOLVAR_LOG_ERROR("Error during save. Expected to be at %zu but stream is at %zu",
                         static_cast<size_t>(expected), static_cast<size_t>(at));
    }
    return ok;
}

// Writes a chain member at the offset the walk gave it, with `next_link` as
// its next link (0 for none); saves every other child here.
bool save_member(mdf::ChainBlock& member, SaveContext& context, uint64_t next_link) {
    mdf::Block* block = &member;
    if (auto* fh = mdf::as<mdf::FhBlock>(block)) return save_fh_member(*fh, context, next_link);
    if (auto* dg = mdf::as<mdf::DgBlock>(block)) return save_dg_member(*dg, context, next_link);
    if (auto* cg = mdf::as<mdf::CgBlock>(block)) return save_cg_member(*cg, context, next_link);
    if (auto* cn = mdf::as<mdf::CnBlock>(block)) return save_cn_member(*cn, context, next_link);
    return false;
}

// A chain member reached through a single link is written alone, as the end
// of its chain; a list that continues the chain links it on later.
bool save_single_member(mdf::ChainBlock& member, SaveContext& context) {
    const mdf::BlockHeader layout = mdf::default_header(member.kind());
    if (!place_block(context, member, layout.link_count, layout.length)) return false;
    if (!save_member(member, context, 0)) return false;
    context.open_tails.insert(&member);
    return true;
}

// Writes one block of any kind (children first); false for a kind without a
// file layout.
bool save_kind(mdf::Block& block, SaveContext& context) {
    if (mdf::ChainBlock* member = block.as_chain()) return save_single_member(*member, context);
    if (auto* id = mdf::as<mdf::IdBlock>(&block)) return save_id(*id, context);
    if (auto* hd = mdf::as<mdf::HdBlock>(&block)) return save_hd(*hd, context);
    if (auto* si = mdf::as<mdf::SiBlock>(&block)) return save_si(*si, context);
    if (auto* cc = mdf::as<mdf::CcBlock>(&block)) return save_cc(*cc, context);
    if (auto* text = mdf::as<mdf::TextBlock>(&block)) return save_text(*text, context);
    if (block.kind() == mdf::BlockKind::kDt || block.kind() == mdf::BlockKind::kSd) {
        return save_section(static_cast<mdf::SectionBlock&>(block), context);
    }
    return false;
}

// Gives a chain member its offset and marks it as being saved.
bool begin_member(SaveContext& context, mdf::ChainBlock& member) {
    const mdf::BlockHeader layout = mdf::default_header(member.kind());
    if (!place_block(context, member, layout.link_count, layout.length)) return false;
    context.in_progress.insert(&member);
    return true;
}

// Writes the next link of a chain member that was written without one.
bool patch_next_link(SaveContext& context, const mdf::Block& member, uint64_t next) {
    stream::FieldCursor cursor(context.stream, member.offset + mdf::kBlockHeaderSize);
    return cursor.write_u64(next);
}

bool save_chain_members(SaveContext& context, const mdf::BlockList& list) {
    struct Member {
        mdf::ChainBlock* block;
        size_t index;  // in the list
    };
    std::vector<Member> members;  // saved here, in list order
    std::vector<size_t> patches;  // open tails that this list continues
    size_t end = 0;               // list elements [0, end) are linked
    bool ok = true;
    for (size_t i = 0; i < list.size() && ok; ++i) {
        mdf::Block* block = list[i].get();
        end = i + 1;
        if (block == nullptr || context.in_progress.count(block) != 0) {
            ok = false;  // nothing to link to, or a cycle
            break;
        }
        if (context.saved.count(block) != 0) {
            // A block saved before is linked to as it stands: its successors
            // were saved with it, unless it was written as the end of a chain
            // and this list goes on after it.
            if (i + 1 < list.size() && context.open_tails.count(block) != 0) {
                patches.push_back(i);
                continue;
            }
            break;
        }
        mdf::ChainBlock* member = block->as_chain();
        if (member == nullptr) {
            // A block of a kind that forms no chain ends it: it has no next
            // link, so nothing after it in the list could be linked.
            ok = i + 1 == list.size() && save_block(block, &context);
            break;
        }
        ok = begin_member(context, *member);
        if (ok) members.push_back({member, i});
    }

    size_t open = members.size();  // members [0, open) are still in progress
    while (ok && open > 0) {
        const Member& member = members[open - 1];
        const uint64_t next = member.index + 1 < end ? list[member.index + 1]->offset : 0;
        ok = save_member(*member.block, context, next);
        context.in_progress.erase(member.block);
        --open;
        if (ok) {
            context.saved.insert(member.block);
            if (next == 0) context.open_tails.insert(member.block);
        }
    }
    for (size_t i = 0; i < open; ++i) context.in_progress.erase(members[i].block);
    if (!ok) return false;

    for (size_t i : patches) {
        const mdf::Block* tail = list[i].get();
        if (!patch_next_link(context, *tail, list[i + 1]->offset)) return false;
        context.open_tails.erase(tail);
    }
    return true;
}

// Saves the child when there is one and appends its new offset to links (0
// when there is none). False when the child's save fails.
bool save_link(SaveContext& context, const mdf::BlockRef& child, std::vector<uint64_t>& links) {
    if (!child) {
        links.push_back(0);
        return true;
    }
    const bool ok = save_block(child.get(), &context);
    links.push_back(child->offset);
    return ok;
}

// Saves a chain in list order and appends the offset of its first block to
// links (0 for an empty list). Iterative: every member gets its offset first,
// then the members are written from the last to the first with their next
// links, which is the order a walk that followed each next link first would
// give. False when any member (or anything below it) fails.
bool save_chain(SaveContext& context, const mdf::BlockList& list, std::vector<uint64_t>& links) {
    if (list.empty()) {
        links.push_back(0);
        return true;
    }
    SaveLevel level(context);
    if (!level) return false;
    bool ok = false;
    try {
        ok = save_chain_members(context, list);
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    links.push_back(list.front() ? list.front()->offset : 0);
    return ok;
}

}  // namespace

bool save_block(mdf::Block* block, SaveContext* context) {
    if (block == nullptr || context == nullptr || context->stream == nullptr) return false;
    if (context->saved.count(block) != 0) return true;
    // A link back to a block whose save has not finished: a cycle.
    if (context->in_progress.count(block) != 0) return false;
    SaveLevel level(*context);
    if (!level) return false;
    try {
        context->in_progress.insert(block);
        const bool ok = save_kind(*block, *context);
        context->in_progress.erase(block);
        if (ok) context->saved.insert(block);
        return ok;
    } catch (const std::bad_alloc&) {
        context->in_progress.erase(block);
        return false;
    }
}

void write_block_header(const mdf::BlockHeader& header, stream::Stream& stream) {
    const char* id = mdf::block_id(header.kind);
    if (id == nullptr) return;
    uint8_t raw[mdf::kBlockHeaderSize] = {};
    std::memcpy(raw, id, 4);
    store_u64le(raw + 8, header.length);
    store_u64le(raw + 16, header.link_count);
    stream.write(raw, sizeof raw);
}

}  // namespace tolvar::writer
