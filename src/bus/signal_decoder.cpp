// Built without fused multiply-add (see CMakeLists.txt): a physical value is
// raw * scale rounded, plus offset rounded, as Python computes it.
#include "bus/signal_decoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "bus/frame.h"

namespace tolvar::bus {
namespace {

inline uint64_t load_little(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

inline uint64_t load_big(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

// The signal's `length` bits, right-aligned. Loads never pass byte 63.
inline uint64_t raw_bits(const SignalStep& s, const uint8_t* p) {
    switch (s.read) {
        case SignalRead::kLittle:
            return (load_little(p + s.at) >> s.shift) & s.mask;
        case SignalRead::kLittleWide:
            return ((load_little(p + s.at) >> s.shift) | (uint64_t{p[s.at + 8]} << (64 - s.shift))) & s.mask;
        case SignalRead::kBig:
            return (load_big(p + s.at) >> s.shift) & s.mask;
        case SignalRead::kBigWide: {
            const unsigned extra = s.shift + s.length - 64u;  // bits in the 9th byte
            return ((load_big(p + s.at) << s.shift) >> (64 - s.length)) | (uint64_t{p[s.at + 8]} >> (8 - extra));
        }
    }
    return 0;
}

inline uint64_t sign_extend(uint64_t raw, unsigned length) {
    const unsigned unused = 64 - length;
    return static_cast<uint64_t>(static_cast<int64_t>(raw << unused) >> unused);
}

double half_to_double(uint64_t raw) {
    const int exponent = static_cast<int>(raw >> 10 & 0x1F);
    const double mantissa = static_cast<double>(raw & 0x3FF);
    double magnitude;
    if (exponent == 0) {
        magnitude = std::ldexp(mantissa, -24);
    } else if (exponent == 31) {
        magnitude = mantissa == 0 ? HUGE_VAL : std::nan("");
    } else {
        magnitude = std::ldexp(1024.0 + mantissa, exponent - 25);
    }
    return (raw & 0x8000) != 0 ? -magnitude : magnitude;
}

// The raw value as a number: the integer, or the float the bits are.
inline double raw_number(const SignalStep& s, uint64_t raw) {
    switch (s.form) {
        case SignalForm::kUnsigned: return static_cast<double>(raw);
        case SignalForm::kSigned: return static_cast<double>(static_cast<int64_t>(sign_extend(raw, s.length)));
        case SignalForm::kFloat16: return half_to_double(raw);
        case SignalForm::kFloat32: {
            const uint32_t bits = static_cast<uint32_t>(raw);
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return f;
        }
        case SignalForm::kFloat64: {
            double d;
            std::memcpy(&d, &raw, sizeof d);
            return d;
        }
    }
    return 0.0;
}

// A run of plain steps of one kind (signal_program.h): per signal a load, a
// swap where big-endian, two shifts, a conversion, a multiply-add and a store.
template <bool kBig, bool kSigned>
const SignalStep* plain_run(const SignalStep* s, uint32_t count, const uint8_t* p, uint8_t* const* columns,
                            uint64_t row) {
    for (const SignalStep* end = s + count; s != end; ++s) {
        uint64_t word = load_little(p + s->at);
        if (kBig) word = __builtin_bswap64(word);
        word <<= s->left;
        const int64_t integer = kSigned ? static_cast<int64_t>(word) >> s->right : static_cast<int64_t>(word >> s->right);
        reinterpret_cast<double*>(columns[s->column])[row] = static_cast<double>(integer) * s->scale + s->offset;
    }
    return s;
}

inline double physical(const SignalStep& s, uint64_t raw) {
    double v = raw_number(s, raw);
    if (s.scaled) v = v * s.scale + s.offset;
    // A decoded NaN never has the absent value's bits.
    if (v != v) std::memcpy(&v, &kPlainNanBits, sizeof v);
    return v;
}

// The raw value as value names and selectors key it: 64 bits, two's
// complement where signed; a float's only where it is a whole number
// (`ok` false otherwise).
inline uint64_t raw_key(const SignalStep& s, uint64_t raw, bool& ok) {
    ok = true;
    switch (s.form) {
        case SignalForm::kUnsigned: return raw;
        case SignalForm::kSigned: return sign_extend(raw, s.length);
        default: break;
    }
    const double f = raw_number(s, raw);
    ok = f >= -9223372036854775808.0 && f < 9223372036854775808.0 && f == std::trunc(f);
    return ok ? static_cast<uint64_t>(static_cast<int64_t>(f)) : 0;
}

int32_t code_of(const SignalStep& s, const SignalProgram& program, uint64_t raw) {
    bool ok;
    const uint64_t key = raw_key(s, raw, ok);
    if (!ok) return -1;
    const uint64_t* keys = program.value_keys() + s.names_begin;
    const uint64_t* found = std::lower_bound(keys, keys + s.names_count, key);
    if (found == keys + s.names_count || *found != key) return -1;
    return program.value_codes()[s.names_begin + (found - keys)];
}

// Whether a multiplexer's raw value lies in one of the group's ranges
// (sorted, disjoint): the last range starting at or below it must reach it.
bool selects(const SignalGroup& g, const SelectorRange* ranges, uint64_t value) {
    const SelectorRange* first = ranges + g.ranges_begin;
    const SelectorRange* last = first + g.ranges_count;
    if (g.mux_signed) {
        const auto v = static_cast<int64_t>(value);
        const SelectorRange* after = std::upper_bound(
            first, last, v, [](int64_t x, const SelectorRange& r) { return x < static_cast<int64_t>(r.low); });
        return after != first && v <= static_cast<int64_t>((after - 1)->high);
    }
    const SelectorRange* after =
        std::upper_bound(first, last, value, [](uint64_t x, const SelectorRange& r) { return x < r.low; });
    return after != first && value <= (after - 1)->high;
}

}  // namespace

SignalDecoder::SignalDecoder(const SignalProgram& program, bool row_numbers)
    : program_(&program), slots_(program.max_slots()), slot_present_(program.max_slots()) {
    tables_.reserve(program.table_count());
    for (size_t t = 0; t < program.table_count(); ++t) {
        const TableInfo& info = program.table(t);
        std::vector<ColumnKind> kinds;
        kinds.reserve(info.columns.size());
        for (const TableColumn& c : info.columns) kinds.push_back(c.kind);
        tables_.emplace_back(info.source_address, row_numbers, std::move(kinds));
    }
}

void SignalDecoder::decode_all(const MessageProgram& m, const uint8_t* payload, MessageTable& table,
                               uint64_t row) const {
    const SignalGroup& g = program_->groups()[m.first_group];
    uint8_t* const* columns = table.columns();
    const SignalStep* s = program_->steps() + g.first_step;
    s = plain_run<false, false>(s, g.plain[kPlainLittleUnsigned], payload, columns, row);
    s = plain_run<false, true>(s, g.plain[kPlainLittleSigned], payload, columns, row);
    s = plain_run<true, false>(s, g.plain[kPlainBigUnsigned], payload, columns, row);
    s = plain_run<true, true>(s, g.plain[kPlainBigSigned], payload, columns, row);
    for (const SignalStep* end = program_->steps() + g.first_step + g.step_count; s != end; ++s) {
        if (s->column == kNoColumn) continue;
        const uint64_t raw = raw_bits(*s, payload);
        if (!s->coded) {
            reinterpret_cast<double*>(columns[s->column])[row] = physical(*s, raw);
        } else {
            reinterpret_cast<int32_t*>(columns[s->column])[row] = code_of(*s, *program_, raw);
        }
    }
}

void SignalDecoder::decode_present(const MessageProgram& m, const uint8_t* payload, unsigned available,
                                   MessageTable& table, uint64_t row) {
    const SignalGroup* group = program_->groups() + m.first_group;
    const SignalStep* steps = program_->steps();
    uint8_t* const* columns = table.columns();
    for (uint32_t g = 0; g < m.group_count; ++g, ++group) {
        // Multiplexers lie in earlier groups: their slots are filled.
        const bool active = group->mux_slot == kNoSlot ||
                            (slot_present_[group->mux_slot] != 0 &&
                             selects(*group, program_->ranges(), slots_[group->mux_slot]));
        const SignalStep* step = steps + group->first_step;
        for (uint32_t i = 0; i < group->step_count; ++i, ++step) {
            const SignalStep& s = *step;
            const bool present = active && s.end <= available;
            if (s.mux_slot != kNoSlot) {
                bool keyed = false;
                if (present) slots_[s.mux_slot] = raw_key(s, raw_bits(s, payload), keyed);
                slot_present_[s.mux_slot] = keyed;
            }
            if (s.column == kNoColumn) continue;
            if (!s.coded) {
                reinterpret_cast<double*>(columns[s.column])[row] = present ? physical(s, raw_bits(s, payload)) : absent_value();
            } else {
                reinterpret_cast<int32_t*>(columns[s.column])[row] = present ? code_of(s, *program_, raw_bits(s, payload)) : -1;
            }
        }
    }
}

bool SignalDecoder::add(double timestamp, uint32_t identifier, uint8_t flags, uint16_t channel, uint8_t length,
                        const uint8_t* payload) {
    const uint64_t number = frames_++;
    constexpr uint8_t kNotData = (1u << kFlagRemote) | (1u << kFlagError);
    if ((flags & kNotData) != 0) return true;
    const bool extended = (flags >> kFlagExtended & 1u) != 0;
    const int32_t t = program_->find(channel, identifier & 0x1FFFFFFFu, extended);
    if (t < 0) return true;
    MessageTable& table = tables_[static_cast<size_t>(t)];
    if (!table.make_room()) {
        --frames_;
        return false;
    }
    const MessageProgram& m = program_->message(static_cast<size_t>(t));
    const uint64_t row = table.rows();
    table.timestamp()[row] = timestamp;
    table.channel()[row] = channel;
    if (m.j1939) table.source_address()[row] = static_cast<uint8_t>(identifier);
    if (table.has_row_numbers()) table.row_number()[row] = number;
    const unsigned available = std::min<unsigned>(std::min<unsigned>(length, 64), m.length);
    if (m.group_count == 1 && available >= m.needs) {
        decode_all(m, payload, table, row);
    } else {
        decode_present(m, payload, available, table, row);
    }
    table.commit_row();
    return true;
}

bool SignalDecoder::append(const CanFrameView& f) {
    return add(f.timestamp, f.arbitration_id, f.flags, f.channel, f.length, f.payload);
}

bool SignalDecoder::append(const CanFrameView* frames, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (!append(frames[i])) return false;
    }
    return true;
}

}  // namespace tolvar::bus
