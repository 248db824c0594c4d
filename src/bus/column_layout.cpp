#include "bus/column_layout.h"

namespace tolvar::bus {

namespace {

constexpr uint64_t kTextUnits = 8;

struct TextTable {
    uint32_t units[kChannelCount * kTextUnits] = {};
    TextTable() {
        for (unsigned code = 0; code < kChannelCount; ++code) {
            char name[kChannelNameSize];
            const unsigned length = channel_name(code, name);
            for (unsigned i = 0; i < length; ++i) units[code * kTextUnits + i] = static_cast<uint8_t>(name[i]);
        }
    }
};

}  // namespace

const uint32_t* channel_texts() {
    static const TextTable table;
    return table.units;
}

}  // namespace tolvar::bus
