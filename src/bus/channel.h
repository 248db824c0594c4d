// The channel block ("##CN"): where one signal lies in a record, its data type
// and the blocks that name, convert and hold its values. Owns its component
// chain and its links through shared references.
#pragma once

#include <cstdint>

#include "mdf/block.h"

namespace tolvar::bus {

// cn_type as the layout sees it.
enum ChannelTypeCode : uint32_t {
    kChannelFixedLength = 0,
    kChannelVariableLength = 1,  // values in signal data (an SD block or a VLSD channel group)
    kChannelMaster = 2,
    kChannelVirtual = 6,
    kChannelOther = 7,
};

// cn_data_type as the layout sees it; 0 for every unsupported type.
enum DataTypeCode : uint32_t {
    kDataTypeUnsupported = 0,
    kDataTypeUnsignedIntel = 1,
    kDataTypeFloatIntel = 5,
    kDataTypeString = 7,
    kDataTypeByteArray = 11,
};

ChannelTypeCode type_code_from(uint8_t cn_type);
DataTypeCode data_code_from(uint8_t cn_data_type);

class CnBlock final : public mdf::ChainBlock {
public:
    static constexpr mdf::BlockKind kKind = mdf::BlockKind::kCn;
    static constexpr uint64_t kLinkCount = 8;

    CnBlock() : ChainBlock(kKind) {}

    // Follows components, name, source, conversion, data, unit and comment,
    // then reads the fields; the next channel is followed by the chain walk.
    bool parse_rest(Stream& stream, mdf::BlockCache& cache, mdf::Links links,
                    uint64_t data_start) override;
    // Writes the fields in file order, the reserved byte as zero. When the
    // output does not end at offset + length afterwards (a held length
    // shorter than the layout, or a failed write), logs "Error during save.
    // Expected to be at %zu but stream is at %zu"; the result stays as it is.
    bool save_member(mdf::SaveContext& context, uint64_t next_link) override;
    void destroy() override;

    mdf::BlockList components;  // chain order
    mdf::BlockRef name;         // a TxBlock gives the channel's name
    mdf::BlockRef source;
    mdf::BlockRef conversion;  // a CcBlock
    mdf::BlockRef data;        // variable-length values: an SdBlock or a channel group
    mdf::BlockRef unit;
    mdf::BlockRef comment;

    uint8_t cn_type = 0;
    uint8_t sync_type = 0;
    uint8_t data_type = 0;
    uint8_t bit_offset = 0;  // 0 to 7 in valid files
    uint32_t byte_offset = 0;
    uint32_t bit_count = 0;
    uint32_t flags = 0;
    uint32_t inval_bit_pos = 0;
    uint8_t precision = 0;
    uint16_t attachment_count = 0;
    double val_range_min = 0;
    double val_range_max = 0;
    double limit_min = 0;
    double limit_max = 0;
    double limit_ext_min = 0;
    double limit_ext_max = 0;

    ChannelTypeCode type_code = kChannelOther;
    DataTypeCode data_code = kDataTypeUnsupported;
};

// Field accessors that give a default for an absent channel.
uint32_t bit_count(const CnBlock* channel);              // 0
uint8_t bit_offset(const CnBlock* channel);              // 0
uint32_t byte_offset(const CnBlock* channel);            // 0
ChannelTypeCode channel_type_code(const CnBlock* channel);  // kChannelOther
DataTypeCode data_type_code(const CnBlock* channel);        // kDataTypeUnsupported

}  // namespace tolvar::bus
