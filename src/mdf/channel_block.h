// The channel block ("##CN"): where one signal lies in a record, its data type
// and the blocks that name, convert and hold its values. Owns its component
// chain and its links through shared references.
#pragma once

#include <cstdint>

#include "mdf/block.h"

namespace tolvar::mdf {

// cn_type, with every type a reader does not tell apart as kChannelOther.
// cn_type values a reader of any writer's recordings tells apart.
constexpr uint8_t kCnTypeMaster = 2;
constexpr uint8_t kCnTypeVirtualMaster = 3;
constexpr uint8_t kCnTypeMaximumLength = 5;  // the record holds up to the value's size; a channel says how much
constexpr uint8_t kSyncTypeTime = 1;

enum ChannelTypeCode : uint32_t {
    kChannelFixedLength = 0,
    kChannelVariableLength = 1,  // values in signal data (an SD block or a VLSD channel group)
    kChannelMaster = 2,
    kChannelVirtual = 6,
    kChannelOther = 7,
};

// cn_data_type, with every type a reader cannot decode as kDataTypeUnsupported.
enum DataTypeCode : uint32_t {
    kDataTypeUnsignedIntel = 0,
    kDataTypeFloatIntel = 4,
    kDataTypeString = 6,
    kDataTypeByteArray = 10,
    kDataTypeUnsupported = 0xFF,
};

ChannelTypeCode type_code_from(uint8_t cn_type);
DataTypeCode data_code_from(uint8_t cn_data_type);

class CnBlock final : public ChainBlock {
public:
    static constexpr BlockKind kKind = BlockKind::kCn;

    CnBlock() : ChainBlock(kKind) {}

    // Follows components, name, source, conversion, data, unit and comment,
    // then reads the fields; the next channel is followed by the chain walk.
    bool parse_rest(stream::Stream& stream, BlockCache& cache, Links links, uint64_t data_start) override;
    void destroy() override;
    // The fields of the data section at data_start, and the codes made of them.
    bool read_fields(stream::Stream& stream, uint64_t data_start);

    BlockList components;  // chain order
    BlockRef name;         // a text block gives the channel's name
    BlockRef source;
    BlockRef conversion;  // a CcBlock
    BlockRef data;        // variable-length values: an SdBlock or a channel group
    // The data link as written (NoLink when absent). Read for any writer, the
    // link of a maximum-length channel (its size channel) is not followed,
    // nor one to a channel group whose parse has not finished (a VLSD group
    // placed before the group that uses it): `data` stays empty and the
    // record plan resolves the offset among the blocks it knows.
    uint64_t data_link = kNoLink;
    // Read for any writer: the data blocks (Sd or Dz) that `data` stands for,
    // in order (collect_data_blocks). Empty by default.
    BlockList signal_blocks;
    BlockRef unit;
    BlockRef comment;

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

}  // namespace tolvar::mdf
