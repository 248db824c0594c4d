// Frame tables on the Arrow C data interface: the schema of a table of
// frames (to_arrow()'s columns and types, or the columns chosen of them) and
// one filled ColumnChunk as a record batch (a struct array whose children are
// the columns). An exported batch owns the chunk's allocations and frees them
// from whatever thread releases it, without anything else; the channel
// dictionary is one process-wide constant that every batch shares.
#pragma once

#include <bitset>
#include <cstdint>

#include "bus/arrow_c.h"
#include "bus/column_layout.h"

namespace tolvar::bus {

// How the data column reaches the consumer: Arrow's binary (32-bit offsets,
// what the column path fills), large_binary (64-bit offsets) or binary_view
// (16-byte views, payloads up to 12 bytes inline).
enum class DataType : uint8_t { kBinary, kLargeBinary, kBinaryView };

// The columns of a batch (in table order) and the type of its data column.
struct BatchSchema {
    std::bitset<kColumnCount> columns = std::bitset<kColumnCount>().set();
    DataType data = DataType::kBinary;
};

// The name of a column in a frame table ("timestamp", "arbitration_id" ...).
const char* column_name(Column column);
// The column of `name`; false when no column has it.
bool column_of_name(const char* name, Column& out);

// The layout in which the column path fills the columns of `schema`.
ColumnLayout batch_layout(const BatchSchema& schema);

// The schema of batches of `schema` into `out` (a struct of the columns,
// every field nullable as pyarrow makes a table's fields, none holding a
// null). False, with `out` untouched, when memory runs out.
bool export_schema(const BatchSchema& schema, ArrowSchema* out);

// The schema a consumer asks for (requested_schema) as a BatchSchema: a
// struct of columns of the frame table under their names, in table order,
// each of its own type, the data column binary, large_binary or
// binary_view. False for anything else, with a reason in `why` (static text).
bool read_requested_schema(const ArrowSchema& requested, BatchSchema& out, const char*& why);

// `chunk` (filled by the column path with batch_layout(schema) and 32-bit
// offsets) as a record batch into `out`; its allocations move into the batch
// whatever the outcome. False when memory runs out.
bool export_batch(ColumnChunk& chunk, const BatchSchema& schema, ArrowArray* out);

}  // namespace tolvar::bus
