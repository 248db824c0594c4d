#include "bus/signal_program.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>

namespace tolvar::bus {
namespace {

constexpr uint32_t kPayloadBits = 512;  // 64 bytes
constexpr uint32_t kLastLoad = 56;      // an 8-byte load from here ends at byte 63
constexpr size_t kMostSignals = 0xFFFE;  // columns and slots are numbered below kNoColumn

std::string quoted(const std::string& text) { return "'" + text + "'"; }

std::string where(const MessageDescription& m, const SignalDescription& s) {
    return "signal " + quoted(s.name) + " of message " + quoted(m.name);
}

// Orders raw values as a signal of this signedness does.
bool raw_less(uint64_t a, uint64_t b, bool is_signed) {
    return is_signed ? static_cast<int64_t>(a) < static_cast<int64_t>(b) : a < b;
}

// The step's read: where the load starts and how its bits are taken.
// False where the signal does not lie within 64 bytes.
bool place(const SignalDescription& s, SignalStep& step) {
    const bool big = s.byte_order == SignalByteOrder::kBigEndian;
    if (s.start >= kPayloadBits) return false;
    // Big-endian bits run on in network order: the most significant first,
    // bit 7 of byte 0 being 0.
    const uint32_t first = big ? 8 * (s.start / 8) + 7 - s.start % 8 : s.start;
    if (first + s.length > kPayloadBits) return false;
    const uint32_t at = std::min(first / 8, kLastLoad);
    const uint32_t offset = first - 8 * at;  // below 64: a clamped load still holds the signal
    const bool wide = offset + s.length > 64;
    step.at = static_cast<uint8_t>(at);
    step.end = static_cast<uint8_t>((first + s.length - 1) / 8 + 1);
    if (!big) {
        step.read = wide ? SignalRead::kLittleWide : SignalRead::kLittle;
        step.shift = static_cast<uint8_t>(offset);
    } else {
        step.read = wide ? SignalRead::kBigWide : SignalRead::kBig;
        step.shift = static_cast<uint8_t>(wide ? offset : 64 - offset - s.length);
    }
    return true;
}

// The step's plain kind and shifts, or kGeneral.
void set_kind(const SignalDescription& s, SignalStep& step) {
    const bool integer = step.form == SignalForm::kSigned || (step.form == SignalForm::kUnsigned && s.length < 64);
    if (!integer || step.read == SignalRead::kLittleWide || step.read == SignalRead::kBigWide) {
        step.kind = kGeneral;
        return;
    }
    // The signal lies `shift` bits above the bottom of its load (both narrow
    // reads): shifted to the top, then down to the bottom.
    step.left = static_cast<uint8_t>(64 - step.shift - s.length);
    step.right = static_cast<uint8_t>(64 - s.length);
    const bool big = s.byte_order == SignalByteOrder::kBigEndian;
    const bool is_signed = step.form == SignalForm::kSigned;
    step.kind = big ? (is_signed ? kPlainBigSigned : kPlainBigUnsigned)
                    : (is_signed ? kPlainLittleSigned : kPlainLittleUnsigned);
}

}  // namespace

// Builds one program; every step either succeeds or leaves `error` set.
class ProgramBuilder {
public:
    ProgramBuilder(const DecodeDescription& d, SignalProgram& p, std::string& error)
        : description_(d), program_(p), error_(error) {}

    bool build() {
        for (uint32_t db = 0; db < description_.databases.size(); ++db) {
            if (!add_database(db)) return false;
        }
        return true;
    }

private:
    bool fail(std::string why) {
        error_ = std::move(why);
        return false;
    }

    bool serve(unsigned channel, uint32_t db) {
        if (channel >= kCanChannelCount) return fail("channel code " + std::to_string(channel) + " is no CAN channel");
        int32_t& served = program_.database_of_[channel];
        if (served >= 0 && served != static_cast<int32_t>(db)) {
            return fail("channel CAN " + std::to_string(channel) + " is served by two databases");
        }
        served = static_cast<int32_t>(db);
        return true;
    }

    bool add_database(uint32_t db) {
        const DatabaseDescription& d = description_.databases[db];
        if (d.every_channel) {
            for (unsigned c = 0; c < kCanChannelCount; ++c) {
                if (!serve(c, db)) return false;
            }
        }
        for (uint16_t c : d.channels) {
            if (!serve(c, db)) return false;
        }
        program_.first_table_.push_back(static_cast<int32_t>(program_.tables_.size()));
        std::vector<MessageLookup::Key> keys;
        for (uint32_t m = 0; m < d.messages.size(); ++m) {
            const MessageDescription& message = d.messages[m];
            if (!add_message(message, db, m)) return false;
            keys.push_back({message.frame_id, message.extended, message.j1939});
        }
        MessageLookup lookup;
        if (!lookup.build(keys)) throw std::bad_alloc();
        program_.lookups_.push_back(std::move(lookup));
        return true;
    }

    bool add_message(const MessageDescription& m, uint32_t db, uint32_t index) {
        if (m.frame_id > (m.extended ? 0x1FFFFFFFu : 0x7FFu)) {
            return fail("message " + quoted(m.name) + " has frame id " + std::to_string(m.frame_id) +
                        ", too large for a" + (m.extended ? "n extended" : " standard") + " identifier");
        }
        if (m.length > 64) {
            return fail("message " + quoted(m.name) + " is " + std::to_string(m.length) + " bytes long (64 at most)");
        }
        if (m.signals.size() > kMostSignals) return fail("message " + quoted(m.name) + " has too many signals");
        std::vector<SignalStep> steps(m.signals.size());
        for (size_t i = 0; i < m.signals.size(); ++i) {
            if (!make_step(m, m.signals[i], steps[i])) return false;
        }
        std::vector<int32_t> parent;
        std::vector<uint32_t> depth;
        if (!resolve_multiplexers(m, parent, depth)) return false;

        TableInfo table{db, index, m.j1939, {}};
        for (size_t i = 0; i < m.signals.size(); ++i) {
            if (!m.signals[i].column) continue;
            steps[i].column = static_cast<uint16_t>(table.columns.size());
            table.columns.push_back(TableColumn{static_cast<uint32_t>(i), ColumnKind::kValue, {}});
            if (description_.choices && !m.signals[i].value_names.empty()) {
                add_value_names(m.signals[i], steps[i], table.columns.back());
            }
        }
        for (SignalStep& step : steps) {
            if (step.column == kNoColumn) step.kind = kGeneral;
        }
        MessageProgram program{};
        program.length = static_cast<uint8_t>(m.length);
        program.j1939 = m.j1939;
        for (const SignalStep& step : steps) {
            program.needs = std::max(program.needs, step.end);
            // A wide read takes the byte after its 8-byte load (at most byte 63).
            const bool wide = step.read == SignalRead::kLittleWide || step.read == SignalRead::kBigWide;
            program.reads = std::max<uint8_t>(program.reads, static_cast<uint8_t>(step.at + 8 + (wide ? 1 : 0)));
        }
        if (!group_steps(m, parent, depth, steps, program)) return false;
        program_.tables_.push_back(std::move(table));
        program_.messages_.push_back(program);
        return true;
    }

    bool make_step(const MessageDescription& m, const SignalDescription& s, SignalStep& step) {
        step = SignalStep{};
        step.column = kNoColumn;
        step.mux_slot = kNoSlot;
        if (s.length == 0 || s.length > 64) {
            return fail(where(m, s) + " is " + std::to_string(s.length) + " bits long (1 to 64 allowed)");
        }
        step.length = static_cast<uint8_t>(s.length);
        step.mask = s.length == 64 ? ~uint64_t{0} : (uint64_t{1} << s.length) - 1;
        switch (s.type) {
            case SignalValueType::kUnsigned: step.form = SignalForm::kUnsigned; break;
            case SignalValueType::kSigned: step.form = SignalForm::kSigned; break;
            case SignalValueType::kFloat:
                if (s.length != 16 && s.length != 32 && s.length != 64) {
                    return fail(where(m, s) + " is a float of " + std::to_string(s.length) +
                                " bits (16, 32 or 64 allowed)");
                }
                step.form = s.length == 16 ? SignalForm::kFloat16
                                           : s.length == 32 ? SignalForm::kFloat32 : SignalForm::kFloat64;
                break;
        }
        if (!place(s, step)) {
            return fail(where(m, s) + " (start bit " + std::to_string(s.start) + ", " + std::to_string(s.length) +
                        " bits) runs past byte 64");
        }
        if (std::isnan(s.scale) || std::isnan(s.offset)) return fail(where(m, s) + " has a scale or offset that is NaN");
        step.scale = s.scale;
        step.offset = s.offset;
        step.scaled = !(s.scale == 1.0 && s.offset == 0.0);
        set_kind(s, step);
        return true;
    }

    // parent[i]: the signal multiplexing signal i, or -1; depth[i]: how many
    // multiplexers lie above it.
    bool resolve_multiplexers(const MessageDescription& m, std::vector<int32_t>& parent, std::vector<uint32_t>& depth) {
        const size_t n = m.signals.size();
        std::unordered_map<std::string, int32_t> by_name;
        for (size_t i = 0; i < n; ++i) {
            if (!by_name.emplace(m.signals[i].name, static_cast<int32_t>(i)).second) {
                return fail("message " + quoted(m.name) + " has two signals named " + quoted(m.signals[i].name));
            }
        }
        parent.assign(n, -1);
        for (size_t i = 0; i < n; ++i) {
            const SignalDescription& s = m.signals[i];
            if (s.multiplexer.empty()) continue;
            const auto found = by_name.find(s.multiplexer);
            if (found == by_name.end()) {
                return fail(where(m, s) + " is multiplexed by " + quoted(s.multiplexer) +
                            ", which the message does not have");
            }
            if (m.signals[found->second].type == SignalValueType::kFloat) {
                return fail(where(m, s) + " is multiplexed by " + quoted(s.multiplexer) +
                            ", a floating-point signal");
            }
            parent[i] = found->second;
        }
        // Depths by walking up once per signal, remembering what is known;
        // a walk that meets its own path is a cycle.
        constexpr uint32_t kUnknown = 0xFFFFFFFFu, kOnPath = 0xFFFFFFFEu;
        depth.assign(n, kUnknown);
        std::vector<int32_t> path;
        for (size_t i = 0; i < n; ++i) {
            path.clear();
            int32_t j = static_cast<int32_t>(i);
            while (j >= 0 && depth[j] == kUnknown) {
                depth[j] = kOnPath;
                path.push_back(j);
                j = parent[j];
            }
            if (j >= 0 && depth[j] == kOnPath) {
                return fail(where(m, m.signals[j]) + " is its own multiplexer through a cycle of multiplexers");
            }
            uint32_t d = j < 0 ? 0 : depth[j] + 1;
            for (auto it = path.rbegin(); it != path.rend(); ++it) depth[*it] = d++;
        }
        return true;
    }

    // The selector of signal s as sorted, disjoint ranges.
    bool normalise(const MessageDescription& m, const SignalDescription& s, bool is_signed,
                   std::vector<std::pair<uint64_t, uint64_t>>& ranges) {
        ranges.clear();
        for (const SelectorRange& r : s.selector) {
            if (raw_less(r.high, r.low, is_signed)) {
                return fail(where(m, s) + " has a selector range whose low end is above its high end");
            }
            ranges.emplace_back(r.low, r.high);
        }
        std::sort(ranges.begin(), ranges.end(),
                  [&](const auto& a, const auto& b) { return raw_less(a.first, b.first, is_signed); });
        size_t kept = 0;
        for (size_t i = 0; i < ranges.size(); ++i) {
            // Ranges that overlap or touch become one; `+ 1` stays within the
            // order, as high is below the next low.
            if (kept > 0 && !raw_less(ranges[kept - 1].second, ranges[i].first, is_signed)) {
                if (raw_less(ranges[kept - 1].second, ranges[i].second, is_signed)) ranges[kept - 1].second = ranges[i].second;
            } else if (kept > 0 && ranges[kept - 1].second + 1 == ranges[i].first) {
                ranges[kept - 1].second = ranges[i].second;
            } else {
                ranges[kept++] = ranges[i];
            }
        }
        ranges.resize(kept);
        return true;
    }

    bool group_steps(const MessageDescription& m, const std::vector<int32_t>& parent,
                     const std::vector<uint32_t>& depth, std::vector<SignalStep>& steps, MessageProgram& program);

    void add_value_names(const SignalDescription& s, SignalStep& step, TableColumn& column);

    const DecodeDescription& description_;
    SignalProgram& program_;
    std::string& error_;
};

bool ProgramBuilder::group_steps(const MessageDescription& m, const std::vector<int32_t>& parent,
                                 const std::vector<uint32_t>& depth, std::vector<SignalStep>& steps,
                                 MessageProgram& program) {
    using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;
    struct Group {
        int32_t mux;
        uint32_t depth;
        Ranges ranges;
        std::vector<uint32_t> members;
    };
    std::vector<Group> groups{Group{-1, 0, {}, {}}};
    std::map<std::pair<int32_t, Ranges>, size_t> known;
    Ranges ranges;
    for (size_t i = 0; i < steps.size(); ++i) {
        if (parent[i] < 0) {
            groups[0].members.push_back(static_cast<uint32_t>(i));
            continue;
        }
        const bool is_signed = m.signals[parent[i]].type == SignalValueType::kSigned;
        if (!normalise(m, m.signals[i], is_signed, ranges)) return false;
        auto [entry, added] = known.emplace(std::make_pair(parent[i], ranges), groups.size());
        if (added) groups.push_back(Group{parent[i], depth[i], ranges, {}});
        groups[entry->second].members.push_back(static_cast<uint32_t>(i));
    }
    // A multiplexer is decoded in a group of lower depth than those it
    // selects, so groups in order of depth meet every multiplexer first.
    std::stable_sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) { return a.depth < b.depth; });
    uint16_t slots = 0;
    for (Group& g : groups) {
        if (g.mux >= 0 && steps[g.mux].mux_slot == kNoSlot) steps[g.mux].mux_slot = slots++;
    }
    program.first_group = static_cast<uint32_t>(program_.groups_.size());
    program.group_count = static_cast<uint32_t>(groups.size());
    program.first_step = static_cast<uint32_t>(program_.steps_.size());
    program.step_count = static_cast<uint32_t>(steps.size());
    program.slot_count = slots;
    program_.max_slots_ = std::max(program_.max_slots_, slots);
    for (const Group& g : groups) {
        SignalGroup out{};
        out.first_step = static_cast<uint32_t>(program_.steps_.size());
        out.step_count = static_cast<uint32_t>(g.members.size());
        out.ranges_begin = static_cast<uint32_t>(program_.ranges_.size());
        out.ranges_count = static_cast<uint32_t>(g.ranges.size());
        out.mux_slot = g.mux < 0 ? kNoSlot : steps[g.mux].mux_slot;
        out.mux_signed = g.mux >= 0 && m.signals[g.mux].type == SignalValueType::kSigned;
        for (const auto& r : g.ranges) program_.ranges_.push_back(SelectorRange{r.first, r.second});
        // Plain steps in runs of one kind, then the general ones: a batch
        // decodes one signal after another, each kind's loop run in turn.
        for (uint8_t kind = 0; kind <= kGeneral; ++kind) {
            for (uint32_t member : g.members) {
                if (steps[member].kind == kind) program_.steps_.push_back(steps[member]);
            }
        }
        program_.groups_.push_back(out);
    }
    return true;
}

void ProgramBuilder::add_value_names(const SignalDescription& s, SignalStep& step, TableColumn& column) {
    // Names in order of raw value, each name once; a raw value named twice
    // keeps its first name.
    const bool is_signed = s.type != SignalValueType::kUnsigned;
    std::vector<ValueName> named = s.value_names;
    std::stable_sort(named.begin(), named.end(),
                     [&](const ValueName& a, const ValueName& b) { return raw_less(a.raw, b.raw, is_signed); });
    std::vector<std::pair<uint64_t, int32_t>> keys;
    std::unordered_map<std::string, int32_t> code_of;
    for (size_t i = 0; i < named.size(); ++i) {
        if (i > 0 && named[i].raw == named[i - 1].raw) continue;
        auto [entry, added] = code_of.emplace(named[i].name, static_cast<int32_t>(column.value_names.size()));
        if (added) column.value_names.push_back(named[i].name);
        keys.emplace_back(named[i].raw, entry->second);
    }
    std::sort(keys.begin(), keys.end());
    step.coded = true;
    step.kind = kGeneral;
    step.names_begin = static_cast<uint32_t>(program_.value_keys_.size());
    step.names_count = static_cast<uint32_t>(keys.size());
    for (const auto& [raw, code] : keys) {
        program_.value_keys_.push_back(raw);
        program_.value_codes_.push_back(code);
    }
    column.kind = ColumnKind::kCode;
}

SignalProgram::SignalProgram() { std::fill(std::begin(database_of_), std::end(database_of_), -1); }

bool SignalProgram::compile(const DecodeDescription& description, SignalProgram& program, std::string& error) {
    program = SignalProgram();
    error.clear();
    try {
        ProgramBuilder builder(description, program, error);
        if (builder.build()) return true;
    } catch (const std::bad_alloc&) {
        error = "out of memory compiling the database";
    }
    program = SignalProgram();
    return false;
}

}  // namespace tolvar::bus
