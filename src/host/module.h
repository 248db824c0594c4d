// The module's one state: what it takes from the interpreter once, at import,
// and every constant object it hands out or calls with: host classes and
// functions, the module's own types, interned names, the channel names of
// messages and the empty argument tuple. Every pointer here is an owned
// reference made at import and never released (a module initialised once per
// process, as the limited API of 3.9 allows); users borrow them. They are
// plain pointers, not PyRef, on purpose: an owner would release them when
// the process ends, after the interpreter is gone.
#pragma once

#include <Python.h>

#include <cstdint>

namespace tolvar::host {

// Interned strings: attribute, keyword, key and method names used per call.
struct Names {
    // can.Message's keyword arguments and attributes.
    PyObject* timestamp;
    PyObject* arbitration_id;
    PyObject* dlc;
    PyObject* data;
    PyObject* is_fd;
    PyObject* error_state_indicator;
    PyObject* bitrate_switch;
    PyObject* is_rx;
    PyObject* is_extended_id;
    PyObject* channel;
    PyObject* is_remote_frame;
    PyObject* is_error_frame;
    // The reader's keywords and the methods it calls.
    PyObject* file;
    PyObject* mode;
    PyObject* rb;
    PyObject* passwords;
    PyObject* any_writer;
    PyObject* batch_rows;
    PyObject* init;
    PyObject* close;
    PyObject* stop;
    PyObject* read;
    PyObject* seek;
    PyObject* tell;
    PyObject* fspath;  // "__fspath__": what makes an object a path
    // The fields of a metadata property, in the order its dict shows them.
    PyObject* property_fields[6];
    // The logger's methods by level: debug, info, warning, error, critical.
    PyObject* logger_methods[5];
    // The filter keywords and the keys of one identifier filter.
    PyObject* can_filters;
    PyObject* channels;
    PyObject* start;
    PyObject* can_id;
    PyObject* can_mask;
    PyObject* extended;
    // The keys of numpy's array interface a column buffer gives ("data" is
    // above).
    PyObject* shape;
    PyObject* typestr;
    PyObject* version;
};

// What the tables call in numpy, pandas and pyarrow, imported on first use
// (table_libraries.h; each package's group stays null until it imported once).
struct TableLibraries {
    // numpy
    PyObject* asarray = nullptr;
    // pandas
    PyObject* data_frame = nullptr;
    PyObject* from_codes = nullptr;        // pandas.Categorical.from_codes
    PyObject* arrow_extension = nullptr;   // pandas.arrays.ArrowExtensionArray
    PyObject* copy = nullptr;              // "copy"
    // pyarrow
    PyObject* foreign_buffer = nullptr;
    PyObject* from_buffers = nullptr;            // pyarrow.Array.from_buffers
    PyObject* dictionary_from_arrays = nullptr;  // pyarrow.DictionaryArray.from_arrays
    PyObject* table_from_arrays = nullptr;       // pyarrow.Table.from_arrays
    PyObject* pa_array = nullptr;                // pyarrow.array
    PyObject* type_float64 = nullptr;
    PyObject* type_uint32 = nullptr;
    PyObject* type_bool = nullptr;
    PyObject* type_uint8 = nullptr;
    PyObject* type_int16 = nullptr;
    PyObject* type_int32 = nullptr;
    PyObject* type_string = nullptr;
    PyObject* type_binary = nullptr;
    PyObject* type_large_binary = nullptr;
    PyObject* names = nullptr;  // "names"
};

// What decoding signals takes from cantools and reads of its databases,
// imported and interned on first use (all null until cantools imported once).
struct SignalLibrary {
    PyObject* load_file = nullptr;      // cantools.database.load_file
    PyObject* database_type = nullptr;  // cantools.database.can.Database
    PyObject* mapping_type = nullptr;   // collections.abc.Mapping
    // Attributes of a database, its messages and their signals.
    PyObject* messages = nullptr;
    PyObject* signals = nullptr;
    PyObject* name = nullptr;
    PyObject* frame_id = nullptr;
    PyObject* is_extended_frame = nullptr;
    PyObject* length = nullptr;
    PyObject* protocol = nullptr;
    PyObject* start = nullptr;
    PyObject* byte_order = nullptr;
    PyObject* is_signed = nullptr;
    PyObject* is_float = nullptr;
    PyObject* scale = nullptr;
    PyObject* offset = nullptr;
    PyObject* choices = nullptr;
    PyObject* multiplexer_signal = nullptr;
    PyObject* multiplexer_ids = nullptr;
    // Keys of the decoded tables' own columns beside "timestamp" and
    // "channel" (Names).
    PyObject* source_address = nullptr;  // "source_address"
    PyObject* row = nullptr;             // "row"
    // The values compared with: a byte order and a protocol.
    PyObject* big_endian = nullptr;  // "big_endian"
    PyObject* j1939 = nullptr;       // "j1939"
};

// can.Message's attributes (its slots but __weakref__), in the order of its
// initialiser's arguments.
enum MessageField : int {
    kFieldTimestamp,
    kFieldArbitrationId,
    kFieldIsExtendedId,
    kFieldIsRemoteFrame,
    kFieldIsErrorFrame,
    kFieldChannel,
    kFieldDlc,
    kFieldData,
    kFieldIsFd,
    kFieldIsRx,
    kFieldBitrateSwitch,
    kFieldErrorStateIndicator,
    kMessageFieldCount,
};

// How a CanMsgExtension is made, and its attributes stored and read, without
// a look-up by name per message (set up with the type, can_msg_extension.h):
// the type's allocator and, per attribute, can.Message's own descriptor (a
// slot's member descriptor) with the set and get functions of its type. A
// null function means the attribute goes by name: Python 3.9's
// PyType_GetSlot reads no static type, and member descriptors are one.
struct MessageAccess {
    allocfunc alloc = nullptr;
    PyObject* descriptors[kMessageFieldCount] = {};
    PyObject* names[kMessageFieldCount] = {};  // the objects of Names, again
    descrsetfunc set[kMessageFieldCount] = {};
    descrgetfunc get[kMessageFieldCount] = {};
};

struct ModuleState {
    PyObject* logger = nullptr;        // logging.getLogger("python_can_tolvar_mf4")
    PyObject* io_base = nullptr;       // io.IOBase
    PyObject* message_type = nullptr;  // can.Message
    PyObject* message_init = nullptr;  // can.Message.__init__ (the plain function)
    PyObject* merge = nullptr;         // heapq.merge
    PyObject* reader_base = nullptr;   // can.io.generic.MessageReader
    PyObject* super_type = nullptr;    // builtins.super

    PyObject* can_msg_extension = nullptr;  // CanMsgExtension
    PyObject* mdf_file = nullptr;           // MdfFile (the class host code sees)
    PyObject* mdf_file_native = nullptr;    // its native base, holding the state
    PyObject* mdf_file_iterator = nullptr;  // MdfFileIterator
    PyObject* column_buffer = nullptr;      // ColumnBuffer (column_buffer.h), not in the module

    Names names{};
    MessageAccess message{};
    TableLibraries tables{};
    SignalLibrary signal_library{};
    PyObject* empty_tuple = nullptr;  // the positional arguments of a message
    // "CAN 0" to "CAN 255" and "LIN 0" to "LIN 255" by channel code
    // (bus::channel_name): a message's channel, so that a message costs no
    // formatting, and the names of tables' channel columns.
    PyObject* channels[512] = {};

    // The generation of the last document a reader opened: every open gets a
    // new one, so an iterator can tell its own document from a later one
    // after close() and a new __init__.
    uint64_t last_generation = 0;
};

// The state; valid once the module is imported.
ModuleState& module_state();

// Makes the state's constants (names, channels, empty_tuple) at import;
// false with an exception set.
bool make_constants();
inline const Names& names() { return module_state().names; }

// Creates the ColumnBuffer type (not added to the module); a new reference
// or nullptr with an exception set. The module's other types are created by
// the functions their own headers declare.
PyObject* create_column_buffer_type();

}  // namespace tolvar::host
