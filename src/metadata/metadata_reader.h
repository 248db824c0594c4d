// Metadata reader: turns the XML text of the header block's comment into the
// PropertyMap of the recording's properties, with libexpat. Owns the parser
// for the length of one call; borrows the text.
#pragma once

#include <cstddef>

#include "metadata/property_map.h"

namespace tolvar::metadata {

// The properties below the document element's `common_properties`, keyed by
// their dotted path. The text is read up to its first zero byte (a writer may
// count padding zeros in the block's length; XML holds no zero byte).
// Malformed or incomplete XML, an empty text or nullptr give an empty map;
// nothing is logged.
PropertyMap read_metadata(const char* text, size_t length);

}  // namespace tolvar::metadata
