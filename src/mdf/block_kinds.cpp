#include "mdf/block_kinds.h"

#include <new>

#include "mdf/channel_block.h"
#include "mdf/channel_group_block.h"
#include "mdf/conversion_block.h"
#include "mdf/data_block.h"
#include "mdf/data_group_block.h"
#include "mdf/data_list_block.h"
#include "mdf/file_history_block.h"
#include "mdf/header_block.h"
#include "mdf/id_block.h"
#include "mdf/source_info_block.h"
#include "mdf/text_block.h"

namespace tolvar::mdf {

BlockRef create_block(BlockKind kind) {
    Block* block = nullptr;
    switch (kind) {
        case BlockKind::kId: block = new (std::nothrow) IdBlock; break;
        case BlockKind::kCc: block = new (std::nothrow) CcBlock; break;
        case BlockKind::kCg: block = new (std::nothrow) CgBlock; break;
        case BlockKind::kCn: block = new (std::nothrow) CnBlock; break;
        case BlockKind::kDg: block = new (std::nothrow) DgBlock; break;
        case BlockKind::kDt: block = new (std::nothrow) DtBlock; break;
        case BlockKind::kFh: block = new (std::nothrow) FhBlock; break;
        case BlockKind::kHd: block = new (std::nothrow) HdBlock; break;
        case BlockKind::kMd: block = new (std::nothrow) TextBlock(kind); break;
        case BlockKind::kSd: block = new (std::nothrow) SdBlock; break;
        case BlockKind::kSi: block = new (std::nothrow) SiBlock; break;
        case BlockKind::kTx: block = new (std::nothrow) TextBlock(kind); break;
        case BlockKind::kDl: block = new (std::nothrow) DlBlock; break;
        case BlockKind::kDz: block = new (std::nothrow) DzBlock; break;
        case BlockKind::kHl: block = new (std::nothrow) HlBlock; break;
        case BlockKind::kNone: break;
    }
    return BlockRef::adopt(block);
}

}  // namespace tolvar::mdf
