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

// A plain signal (signal_program.h) of `count` rows, `stride` bytes apart:
// per row a load, a swap where big-endian, two shifts, a conversion and a
// multiply-add, into consecutive values.
template <bool kBig, bool kSigned>
void plain_column(const SignalStep& s, const uint8_t* rows, size_t stride, uint32_t count, double* out) {
    const uint8_t* p = rows + s.at;
    // The left shift as a multiplication, so that the one shift left keeps
    // its count in place through the loop.
    const uint64_t left = uint64_t{1} << s.left;
    const unsigned right = s.right;
    const double scale = s.scale;
    const double offset = s.offset;
#pragma GCC unroll 4
    for (uint32_t r = 0; r < count; ++r) {
        uint64_t word = load_little(p + r * stride);
        if (kBig) word = __builtin_bswap64(word);
        word *= left;
        const int64_t integer = kSigned ? static_cast<int64_t>(word) >> right : static_cast<int64_t>(word >> right);
        out[r] = static_cast<double>(integer) * scale + offset;
    }
}

// A payload's first `stride` bytes (16, 32 or 64; at least 64 are readable)
// copied by a move of fixed size.
inline void copy_payload(uint8_t* to, const uint8_t* from, uint32_t stride) {
    if (stride == 16) {
        std::memcpy(to, from, 16);
    } else if (stride == 32) {
        std::memcpy(to, from, 32);
    } else {
        std::memcpy(to, from, 64);
    }
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
    batches_.resize(program.table_count());
    for (size_t t = 0; t < program.table_count(); ++t) {
        const TableInfo& info = program.table(t);
        const uint8_t reads = program.message(t).reads;
        batches_[t].stride = reads <= 16 ? 16 : reads <= 32 ? 32 : 64;
        std::vector<ColumnKind> kinds;
        kinds.reserve(info.columns.size());
        for (const TableColumn& c : info.columns) kinds.push_back(c.kind);
        tables_.emplace_back(info.source_address, row_numbers, std::move(kinds));
    }
}

void SignalDecoder::decode_column(const SignalStep& s, const Batch& batch, uint8_t* const* columns) const {
    if (s.column == kNoColumn) return;
    const uint8_t* rows = batch.payloads.data();
    const size_t stride = batch.stride;
    const uint32_t count = batch.count;
    double* values = reinterpret_cast<double*>(columns[s.column]) + batch.first;
    switch (s.kind) {
        case kPlainLittleUnsigned: return plain_column<false, false>(s, rows, stride, count, values);
        case kPlainLittleSigned: return plain_column<false, true>(s, rows, stride, count, values);
        case kPlainBigUnsigned: return plain_column<true, false>(s, rows, stride, count, values);
        case kPlainBigSigned: return plain_column<true, true>(s, rows, stride, count, values);
        default: break;
    }
    const uint8_t* p = rows;
    if (!s.coded) {
        for (uint32_t r = 0; r < count; ++r, p += stride) values[r] = physical(s, raw_bits(s, p));
    } else {
        int32_t* codes = reinterpret_cast<int32_t*>(columns[s.column]) + batch.first;
        for (uint32_t r = 0; r < count; ++r, p += stride) codes[r] = code_of(s, *program_, raw_bits(s, p));
    }
}

void SignalDecoder::clear_unselected(const MessageProgram& m, const Batch& batch, uint8_t* const* columns) const {
    const SignalGroup* groups = program_->groups() + m.first_group;
    const uint8_t* p = batch.payloads.data();
    for (uint32_t r = 0; r < batch.count; ++r, p += batch.stride) {
        const uint64_t row = batch.first + r;
        // As decode_present() decides, every signal lying within the frame.
        for (uint32_t g = 0; g < m.group_count; ++g) {
            const SignalGroup& group = groups[g];
            const bool active = group.mux_slot == kNoSlot ||
                                (slot_present_[group.mux_slot] != 0 &&
                                 selects(group, program_->ranges(), slots_[group.mux_slot]));
            const SignalStep* s = program_->steps() + group.first_step;
            for (const SignalStep* end = s + group.step_count; s != end; ++s) {
                if (s->mux_slot != kNoSlot) {
                    bool keyed = false;
                    if (active) slots_[s->mux_slot] = raw_key(*s, raw_bits(*s, p), keyed);
                    slot_present_[s->mux_slot] = keyed;
                }
                if (active || s->column == kNoColumn) continue;
                if (!s->coded) {
                    reinterpret_cast<double*>(columns[s->column])[row] = absent_value();
                } else {
                    reinterpret_cast<int32_t*>(columns[s->column])[row] = -1;
                }
            }
        }
    }
}

void SignalDecoder::decode_batch(size_t t) const {
    Batch& batch = batches_[t];
    const MessageProgram& m = program_->message(t);
    uint8_t* const* columns = tables_[t].columns();
    // Every signal of every row as if selected, then the signals their
    // multiplexers do not select made absent again.
    const SignalStep* s = program_->steps() + m.first_step;
    for (const SignalStep* end = s + m.step_count; s != end; ++s) decode_column(*s, batch, columns);
    if (m.group_count > 1) clear_unselected(m, batch, columns);
    batch.count = 0;
}

void SignalDecoder::decode_waiting() const {
    for (size_t t = 0; t < batches_.size(); ++t) {
        if (batches_[t].count != 0) decode_batch(t);
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

void SignalDecoder::expect(uint64_t frames) {
    // A few thousand frames tell too little, and their tables are cheap to
    // grow anyway; a thirty-second of the frames is a fair sample of most
    // recordings and leaves little growth behind it.
    constexpr uint64_t kFewest = uint64_t{1} << 16;
    expected_ = frames;
    foretell_at_ = frames < kFewest ? 0 : frames / 32;
    if (foretell_at_ <= frames_) foretell_at_ = 0;
}

void SignalDecoder::reserve_ahead() {
    // Each table's share so far, over every frame to come, and a sixteenth
    // more; a table a damaged count overstates is only given address space
    // its rows never touch, and at most 2^32 rows.
    const double scale = static_cast<double>(expected_) / static_cast<double>(frames_) * 1.0625;
    for (MessageTable& table : tables_) {
        if (table.rows() == 0) continue;
        const double want = static_cast<double>(table.rows()) * scale + 64.0;
        if (want > 4294967296.0) continue;
        // Where the room cannot be had, the table grows as it would have.
        table.reserve(static_cast<uint64_t>(want));
    }
}

bool SignalDecoder::add(double timestamp, uint32_t identifier, uint8_t flags, uint16_t channel, uint8_t length,
                        const uint8_t* payload) {
    const uint64_t number = frames_++;
    if (frames_ == foretell_at_) reserve_ahead();
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
    Batch& batch = batches_[static_cast<size_t>(t)];
    if (available >= m.needs) {
        // Every signal within the frame: the row waits in its message's
        // batch.
        if (!batch.payloads) {
            batch.payloads = stream::Allocation::uninitialised(size_t{kBatchRows} * batch.stride);
            if (!batch.payloads) {
                --frames_;
                return false;
            }
        }
        if (batch.count == 0) batch.first = row;
        copy_payload(batch.payloads.data() + size_t{batch.count} * batch.stride, payload, batch.stride);
        table.commit_row();
        if (++batch.count == kBatchRows) decode_batch(static_cast<size_t>(t));
        return true;
    }
    // The waiting rows go first: a batch holds consecutive rows.
    if (batch.count != 0) decode_batch(static_cast<size_t>(t));
    decode_present(m, payload, available, table, row);
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
