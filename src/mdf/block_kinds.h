// The factory of block kinds: the one place that knows every class derived
// from Block, so that the parse walk (block.cpp) can make the block a header
// names without depending on the kinds, and the kinds on it alone.
#pragma once

#include "mdf/block.h"
#include "mdf/block_header.h"

namespace tolvar::mdf {

// A new block of the kind with its default header and a use count of 1; empty
// when the kind has no class (or memory runs out).
BlockRef create_block(BlockKind kind);

}  // namespace tolvar::mdf
