// Any bytes as the text of a header block's comment: the reader must return,
// without touching memory it does not own, a map whose every slot agrees with
// its control byte and whose iteration sees exactly its entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "metadata/metadata_reader.h"

using tolvar::metadata::control_byte;
using tolvar::metadata::property_hash;
using tolvar::metadata::PropertyMap;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const PropertyMap map = tolvar::metadata::read_metadata(reinterpret_cast<const char*>(data), size);
    int32_t seen = 0;
    for (const PropertyMap::Entry& entry : map) {
        ++seen;
        if (map.find(entry.key) != &entry.node) abort();
    }
    if (seen != map.size()) abort();
    if (map.capacity() > 0) {
        int32_t occupied = 0;
        for (int32_t i = 0; i < map.capacity(); ++i) {
            const uint8_t control = map.control()[i];
            if (control == 0) continue;
            ++occupied;
            if (control != control_byte(property_hash(map.slot(i)->key))) abort();
        }
        if (occupied != seen || occupied >= map.capacity() || map.control()[map.capacity()] != 0xFF) abort();
    }
    return 0;
}
