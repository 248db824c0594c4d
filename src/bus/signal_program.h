// SignalProgram: a CAN database (signal_database.h) compiled once per call
// into what decoding a frame needs: per signal a byte to load 8 bytes from,
// a shift, a mask and one of a few read and value forms; per message its
// signals grouped by what selects them, multiplexers before the signals
// they select; per database a MessageLookup; per channel its database. Every
// description is checked here, so that decoding never meets a position it
// cannot read. Immutable once compiled; owns copies of all it needs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bus/message_lookup.h"
#include "bus/signal_database.h"

namespace tolvar::bus {

// How a signal's bits are read from the 8 bytes loaded at its `at` byte
// (the load never reaches past byte 63); the wide forms take the bits they
// lack from the 9th byte.
enum class SignalRead : uint8_t { kLittle, kLittleWide, kBig, kBigWide };
// What the bits are.
enum class SignalForm : uint8_t { kUnsigned, kSigned, kFloat16, kFloat32, kFloat64 };
// What a signal's column holds per row.
enum class ColumnKind : uint8_t {
    kValue,  // float64, the physical value or absent (signal_tables.h)
    kCode,   // int32, the index of the value's name, or -1 (absent or unnamed)
};

constexpr uint16_t kNoColumn = 0xFFFF;
constexpr uint16_t kNoSlot = 0xFFFF;

struct SignalStep {
    uint64_t mask;  // the low `length` bits
    double scale;
    double offset;
    uint32_t names_begin;  // coded: its sorted raw values in the program's value keys
    uint32_t names_count;
    uint16_t column;    // in its table, or kNoColumn
    uint16_t mux_slot;  // where a multiplexer keeps its raw value, or kNoSlot
    SignalRead read;
    SignalForm form;
    uint8_t at;     // first byte of the load, at most 56
    uint8_t shift;  // bits of the load below the signal; kBigWide: above it
    uint8_t length;
    uint8_t end;  // bytes a frame must carry (within its message's length) for the signal to be present
    bool scaled;  // scale and offset apply
    bool coded;   // the column is kCode
    // Most signals are plain (kind below 4): integers of at most 64 bits
    // (63 unsigned) within one 8-byte load, decoded into a value column
    // without a branch: the load (byte-swapped for big-endian kinds) shifted
    // left by `left` and right by `right` (arithmetically for signed kinds),
    // times scale plus offset (1 and 0 where unscaled: exact for integers).
    // The others (wide reads, floats, unsigned 64-bit values, value names,
    // signals that are no column) are kGeneral.
    uint8_t left;
    uint8_t right;
    uint8_t kind;
};

// The kinds of SignalStep::kind, in the order a group holds its steps.
enum PlainKind : uint8_t {
    kPlainLittleUnsigned = 0,
    kPlainLittleSigned = 1,
    kPlainBigUnsigned = 2,
    kPlainBigSigned = 3,
    kGeneral = 4,
};

// Signals present together: those of one multiplexer and selector values,
// or a message's unmultiplexed signals (mux_slot kNoSlot).
struct SignalGroup {
    uint32_t first_step;
    uint32_t step_count;  // its steps in kind order: the plain kinds, then the general ones
    uint32_t ranges_begin;  // its selector ranges, sorted and disjoint, in the program's ranges
    uint32_t ranges_count;
    uint16_t mux_slot;
    bool mux_signed;
};

struct MessageProgram {
    uint32_t first_group;
    uint32_t group_count;  // in evaluation order; 1 where nothing is multiplexed
    uint32_t first_step;
    uint32_t step_count;
    uint16_t slot_count;
    uint8_t length;  // bytes of the message; a frame's bytes past it are ignored
    uint8_t needs;   // bytes every signal of the message lies within
    uint8_t reads;   // bytes from a payload's start that its signals' loads may read (at most 64)
    bool j1939;      // its table has a source address column
};

// One column of a table: which signal of the message it is, in the
// message's signal order.
struct TableColumn {
    uint32_t signal;  // index in MessageDescription::signals
    ColumnKind kind;
    std::vector<std::string> value_names;  // kCode: the names codes index, distinct, by raw value
};

// Each message of each database is one table, databases in order and each
// database's messages in its order.
struct TableInfo {
    uint32_t database;
    uint32_t message;
    bool source_address;  // J1939
    std::vector<TableColumn> columns;
};

class SignalProgram {
public:
    // A program that decodes nothing.
    SignalProgram();

    // Compiles `description`; false, with `error` saying why in a sentence
    // naming the message and signal, when it is refused: a frame id past its
    // kind, a message longer than 64 bytes, a signal of length 0 or over 64
    // bits, a float of another length than 16, 32 or 64 bits, a signal
    // running past byte 64, a scale or offset that is NaN, two signals of one
    // name, a multiplexer the message lacks, a floating-point multiplexer, a
    // cycle of multiplexers, a selector range whose low end is above its high
    // end, a channel served by two databases or no CAN channel.
    static bool compile(const DecodeDescription& description, SignalProgram& program, std::string& error);

    size_t table_count() const { return tables_.size(); }
    const TableInfo& table(size_t index) const { return tables_[index]; }
    const MessageProgram& message(size_t table) const { return messages_[table]; }
    const SignalGroup* groups() const { return groups_.data(); }
    const SignalStep* steps() const { return steps_.data(); }
    const SelectorRange* ranges() const { return ranges_.data(); }
    const uint64_t* value_keys() const { return value_keys_.data(); }
    const int32_t* value_codes() const { return value_codes_.data(); }
    // The most multiplexers of any message: scratch room a decoder needs.
    uint16_t max_slots() const { return max_slots_; }

    // The table of a frame on a CAN channel code, or -1.
    int32_t find(unsigned channel, uint32_t identifier, bool extended) const {
        const int32_t database = channel < kCanChannelCount ? database_of_[channel] : -1;
        if (database < 0) return -1;
        const int32_t message = lookups_[database].find(identifier, extended);
        return message < 0 ? -1 : first_table_[database] + message;
    }

private:
    friend class ProgramBuilder;

    std::vector<TableInfo> tables_;
    std::vector<MessageProgram> messages_;  // per table
    std::vector<SignalGroup> groups_;
    std::vector<SignalStep> steps_;
    std::vector<SelectorRange> ranges_;
    std::vector<uint64_t> value_keys_;  // raw values as 64 bits, sorted per signal
    std::vector<int32_t> value_codes_;  // beside them: the code of each
    std::vector<MessageLookup> lookups_;  // per database
    std::vector<int32_t> first_table_;   // per database
    int32_t database_of_[kCanChannelCount];  // -1: no database
    uint16_t max_slots_ = 0;
};

}  // namespace tolvar::bus
