#include "bus/arrow_batches.h"

#include <cstring>
#include <new>
#include <utility>

namespace tolvar::bus {

namespace {

constexpr unsigned kDataColumn = column_index(Column::kData);
constexpr unsigned kChannelColumn = column_index(Column::kChannel);

struct ColumnType {
    const char* name;
    const char* format;  // the data column's comes from its DataType
};
constexpr ColumnType kColumnTypes[kColumnCount] = {
    {"timestamp", "g"},
    {"arbitration_id", "I"},
    {"is_extended_id", "b"},
    {"is_remote_frame", "b"},
    {"is_error_frame", "b"},
    {"is_fd", "b"},
    {"bitrate_switch", "b"},
    {"error_state_indicator", "b"},
    {"is_rx", "b"},
    {"dlc", "C"},
    {"channel", "s"},  // int16 indices into a dictionary of utf8 names
    {"data", nullptr},
};
constexpr const char* kDictionaryFormat = "u";

const char* data_format(DataType type) {
    switch (type) {
        case DataType::kLargeBinary: return "Z";
        case DataType::kBinaryView: return "vz";
        case DataType::kBinary: break;
    }
    return "z";
}

// -- schemas ----------------------------------------------------------------

// What a schema node points at: its children and its dictionary. The node
// of a struct is its own; a child's struct lies in its parent's node (a
// consumer that takes a child moves the struct out), but what the child
// points at lies in the child's own node.
struct SchemaNode {
    ArrowSchema* pointers[kColumnCount] = {};
    ArrowSchema children[kColumnCount] = {};
    ArrowSchema dictionary = {};
};

void release_schema(ArrowSchema* schema) {
    if (schema == nullptr || schema->release == nullptr) return;
    SchemaNode* node = static_cast<SchemaNode*>(schema->private_data);
    for (int64_t i = 0; i < schema->n_children; ++i) {
        ArrowSchema* child = schema->children[i];
        if (child->release != nullptr) child->release(child);
    }
    if (schema->dictionary != nullptr && schema->dictionary->release != nullptr) {
        schema->dictionary->release(schema->dictionary);
    }
    delete node;
    schema->release = nullptr;
}

// A schema leaf of `format` that points at nothing.
void release_leaf(ArrowSchema* schema) { schema->release = nullptr; }

void leaf(ArrowSchema& out, const char* format, const char* name) {
    out = ArrowSchema{format, name, nullptr, ARROW_FLAG_NULLABLE, 0, nullptr, nullptr, release_leaf, nullptr};
}

// -- the channel dictionary ---------------------------------------------------

// Every channel's name in code order ("CAN 0" .. "LIN 255"), as Arrow's utf8
// array: made once, never freed, shared by every batch of every stream.
struct ChannelDictionary {
    alignas(64) int32_t offsets[kChannelCount + 1];
    alignas(64) char values[kChannelCount * (kChannelNameSize - 1)];
};

const ChannelDictionary& channel_dictionary() {
    static const ChannelDictionary* const dictionary = [] {
        static ChannelDictionary d;
        int32_t at = 0;
        for (unsigned code = 0; code < kChannelCount; ++code) {
            char name[kChannelNameSize];
            const unsigned length = channel_name(code, name);
            d.offsets[code] = at;
            std::memcpy(d.values + at, name, length);
            at += static_cast<int32_t>(length);
        }
        d.offsets[kChannelCount] = at;
        return &d;
    }();
    return *dictionary;
}

// -- arrays -------------------------------------------------------------------

// What an array node owns: its buffers' memory, the list of its buffers, and
// its children and dictionary (laid out as a SchemaNode's).
struct ArrayNode {
    const void* buffers[4] = {};
    stream::Allocation owned[3];
    ArrowArray* pointers[kColumnCount] = {};
    ArrowArray children[kColumnCount] = {};
    ArrowArray dictionary = {};
};

void release_array(ArrowArray* array) {
    if (array == nullptr || array->release == nullptr) return;
    ArrayNode* node = static_cast<ArrayNode*>(array->private_data);
    for (int64_t i = 0; i < array->n_children; ++i) {
        ArrowArray* child = array->children[i];
        if (child->release != nullptr) child->release(child);
    }
    if (array->dictionary != nullptr && array->dictionary->release != nullptr) {
        array->dictionary->release(array->dictionary);
    }
    delete node;  // frees the buffers: native memory, no lock needed
    array->release = nullptr;
}

ArrayNode* new_node(ArrowArray& out, int64_t length, int64_t n_buffers) {
    ArrayNode* node = new (std::nothrow) ArrayNode();
    if (node == nullptr) return nullptr;
    out = ArrowArray{length, 0, 0, n_buffers, 0, node->buffers, nullptr, nullptr, release_array, node};
    return node;
}

// A column of fixed-width values (or bits): [no validity, values].
bool fixed_column(ArrowArray& out, int64_t rows, stream::Allocation&& values) {
    ArrayNode* node = new_node(out, rows, 2);
    if (node == nullptr) return false;
    node->owned[0] = std::move(values);
    node->buffers[1] = node->owned[0].data();
    return true;
}

bool channel_column(ArrowArray& out, int64_t rows, stream::Allocation&& indices) {
    if (!fixed_column(out, rows, std::move(indices))) return false;
    ArrayNode* node = static_cast<ArrayNode*>(out.private_data);
    const ChannelDictionary& d = channel_dictionary();
    // The dictionary's struct lies in this node; its buffers are constants.
    static const void* const dictionary_buffers[3] = {nullptr, d.offsets, d.values};
    node->dictionary = ArrowArray{kChannelCount, 0, 0, 3, 0, const_cast<const void**>(dictionary_buffers),
                                  nullptr, nullptr, [](ArrowArray* a) { a->release = nullptr; }, nullptr};
    out.dictionary = &node->dictionary;
    return true;
}

// The data column's 32-bit offsets widened to 64 bits.
bool widen_offsets(stream::Allocation& offsets, uint64_t rows) {
    stream::Allocation wide = stream::Allocation::uninitialised((rows + 1) * 8);
    if (!wide) return false;
    const int32_t* from = reinterpret_cast<const int32_t*>(offsets.data());
    int64_t* to = reinterpret_cast<int64_t*>(wide.data());
    for (uint64_t r = 0; r <= rows; ++r) to[r] = from[r];
    offsets = std::move(wide);
    return true;
}

// The payloads as binary_view: one 16-byte view per row, payloads up to 12
// bytes inline, longer ones by their place in the one values buffer.
bool make_views(const stream::Allocation& offsets, const stream::Allocation& values, uint64_t rows,
                stream::Allocation& views) {
    views = stream::Allocation::zeroed(rows * 16);
    if (!views) return false;
    const int32_t* at = reinterpret_cast<const int32_t*>(offsets.data());
    for (uint64_t r = 0; r < rows; ++r) {
        uint8_t* view = views.data() + r * 16;
        const int32_t length = at[r + 1] - at[r];
        std::memcpy(view, &length, 4);
        const uint8_t* bytes = values.data() + at[r];
        if (length <= 12) {
            std::memcpy(view + 4, bytes, static_cast<size_t>(length));
        } else {
            const int32_t buffer = 0;
            std::memcpy(view + 4, bytes, 4);
            std::memcpy(view + 8, &buffer, 4);
            std::memcpy(view + 12, &at[r], 4);
        }
    }
    return true;
}

bool data_column(ArrowArray& out, ColumnChunk& chunk, DataType type) {
    const int64_t rows = static_cast<int64_t>(chunk.rows);
    stream::Allocation& values = chunk.columns[kDataColumn];
    if (type == DataType::kBinaryView) {
        ArrayNode* node = new_node(out, rows, 4);
        if (node == nullptr) return false;
        stream::Allocation sizes = stream::Allocation::uninitialised(8);
        if (!sizes || !make_views(chunk.offsets, values, chunk.rows, node->owned[0])) return false;
        const int64_t size = static_cast<int64_t>(chunk.payload_bytes);
        std::memcpy(sizes.data(), &size, 8);
        node->owned[1] = std::move(values);
        node->owned[2] = std::move(sizes);
        chunk.offsets = stream::Allocation();
        node->buffers[1] = node->owned[0].data();
        node->buffers[2] = node->owned[1].data();
        node->buffers[3] = node->owned[2].data();
        return true;
    }
    if (type == DataType::kLargeBinary && !widen_offsets(chunk.offsets, chunk.rows)) return false;
    ArrayNode* node = new_node(out, rows, 3);
    if (node == nullptr) return false;
    node->owned[0] = std::move(chunk.offsets);
    node->owned[1] = std::move(values);
    node->buffers[1] = node->owned[0].data();
    node->buffers[2] = node->owned[1].data();
    return true;
}

}  // namespace

const char* column_name(Column column) { return kColumnTypes[column_index(column)].name; }

bool column_of_name(const char* name, Column& out) {
    if (name == nullptr) return false;
    for (unsigned i = 0; i < kColumnCount; ++i) {
        if (std::strcmp(name, kColumnTypes[i].name) == 0) {
            out = static_cast<Column>(i);
            return true;
        }
    }
    return false;
}

ColumnLayout batch_layout(const BatchSchema& schema) {
    ColumnLayout layout;
    layout.wanted = schema.columns;
    layout.flag_bits = true;
    layout.dictionary_of_all = true;
    return layout;
}

bool export_schema(const BatchSchema& schema, ArrowSchema* out) {
    SchemaNode* node = new (std::nothrow) SchemaNode();
    if (node == nullptr) return false;
    int64_t n = 0;
    for (unsigned i = 0; i < kColumnCount; ++i) {
        if (!schema.columns.test(i)) continue;
        const char* format = i == kDataColumn ? data_format(schema.data) : kColumnTypes[i].format;
        ArrowSchema& child = node->children[n];
        leaf(child, format, kColumnTypes[i].name);
        if (i == kChannelColumn) {
            SchemaNode* own = new (std::nothrow) SchemaNode();
            if (own == nullptr) {
                release_schema(&(*out = ArrowSchema{"+s", "", nullptr, 0, n, node->pointers, nullptr,
                                                    release_schema, node}));
                return false;
            }
            leaf(own->dictionary, kDictionaryFormat, "");
            child.dictionary = &own->dictionary;
            child.private_data = own;
            child.release = release_schema;
        }
        node->pointers[n++] = &child;
    }
    *out = ArrowSchema{"+s", "", nullptr, 0, n, node->pointers, nullptr, release_schema, node};
    return true;
}

bool read_requested_schema(const ArrowSchema& requested, BatchSchema& out, const char*& why) {
    why = "the requested schema is not a struct of the frame table's columns";
    if (requested.format == nullptr || std::strcmp(requested.format, "+s") != 0 || requested.n_children < 1 ||
        requested.n_children > kColumnCount || requested.children == nullptr) {
        return false;
    }
    BatchSchema result;
    result.columns.reset();
    int last = -1;
    for (int64_t k = 0; k < requested.n_children; ++k) {
        const ArrowSchema* field = requested.children[k];
        Column column;
        if (field == nullptr || field->format == nullptr || !column_of_name(field->name, column)) return false;
        const unsigned i = column_index(column);
        if (static_cast<int>(i) <= last) {
            why = "the requested schema's columns are not in the frame table's order";
            return false;
        }
        last = static_cast<int>(i);
        why = "the requested schema asks for a column type the reader cannot give";
        if (i == kDataColumn) {
            const char* f = field->format;
            if (std::strcmp(f, "z") == 0) {
                result.data = DataType::kBinary;
            } else if (std::strcmp(f, "Z") == 0) {
                result.data = DataType::kLargeBinary;
            } else if (std::strcmp(f, "vz") == 0) {
                result.data = DataType::kBinaryView;
            } else {
                return false;
            }
        } else if (std::strcmp(field->format, kColumnTypes[i].format) != 0) {
            return false;
        }
        const bool dictionary = field->dictionary != nullptr;
        if (dictionary != (i == kChannelColumn)) return false;
        if (dictionary && (field->dictionary->format == nullptr ||
                           std::strcmp(field->dictionary->format, kDictionaryFormat) != 0)) {
            return false;
        }
        result.columns.set(i);
    }
    out = result;
    return true;
}

bool export_batch(ColumnChunk& chunk, const BatchSchema& schema, ArrowArray* out) {
    const int64_t rows = static_cast<int64_t>(chunk.rows);
    ArrowArray root;
    ArrayNode* node = new_node(root, rows, 1);
    if (node == nullptr) return false;
    int64_t n = 0;
    bool ok = true;
    for (unsigned i = 0; i < kColumnCount && ok; ++i) {
        if (!schema.columns.test(i)) continue;
        ArrowArray& child = node->children[n];
        node->pointers[n] = &child;
        root.n_children = ++n;
        root.children = node->pointers;
        child.release = nullptr;
        if (i == kDataColumn) {
            ok = data_column(child, chunk, schema.data);
        } else if (i == kChannelColumn) {
            ok = channel_column(child, rows, std::move(chunk.columns[i]));
        } else {
            ok = fixed_column(child, rows, std::move(chunk.columns[i]));
        }
    }
    if (!ok) {
        release_array(&root);
        chunk = ColumnChunk();
        return false;
    }
    *out = root;
    return true;
}

}  // namespace tolvar::bus
