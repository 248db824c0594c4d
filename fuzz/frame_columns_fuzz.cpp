// Any bytes as a file holding a chain of data groups (the first 8 bytes,
// taken as a little-endian number modulo the size, name the first one's
// offset), read into columns two ways that must agree value for value: the
// message walk (each message checked against the general decoding rules of
// its group's decoder, then made a row with FrameStore::append) and the bulk
// path (collect, which decodes with the prepared steps straight into rows).
// Both sets of stores then go through fill_columns in each shape of target
// the host uses, and every column must come out the same, also through a
// filter taken from the last bytes. Parsed and planned once as this reader's
// own recordings and once as any writer's.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "bus/frame_columns.h"
#include "bus/frame_filter.h"
#include "bus/record_iterator.h"
#include "bus/record_plan.h"
#include "bus/value_extraction.h"
#include "log/log.h"
#include "mdf/block_cache.h"
#include "mdf/data_group_block.h"
#include "stream/memory_stream.h"

#include "fuzz_plans.h"

namespace {

using namespace tolvar::bus;

int quiet(tolvar::log::LogMessage*, void*) { return 0; }

bool same_double(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The decoder of the record group whose layout the view names.
FrameDecoder decoder_of(const GroupPlan& plan, const RecordView& view) {
    for (const RecordGroup& group : plan.record_groups) {
        if (group.layout == view.layout && group.layout != nullptr) return group.decoder;
    }
    abort();
}

// What the host reads of a message: everything but the fields of a rejected
// record, which nothing reads.
void check_same_message(const BusMessage& a, const BusMessage& b) {
    if (a.kind != b.kind) abort();
    if (a.kind == FrameKind::kNone) return;
    if (!same_double(a.time, b.time) || a.identifier != b.identifier || a.data_length != b.data_length) abort();
    if ((a.data == nullptr) != (b.data == nullptr)) abort();
    switch (a.kind) {
        case FrameKind::kCanDataFrame:
        case FrameKind::kCanRemoteFrame: {
            const CanFrameDetails& x = a.details.can;
            const CanFrameDetails& y = b.details.can;
            if (x.extended != y.extended || x.direction != y.direction || x.fd != y.fd || x.esi != y.esi ||
                x.brs != y.brs || x.remote != y.remote || x.bus != y.bus || x.dlc != y.dlc ||
                std::memcmp(x.payload, y.payload, sizeof x.payload) != 0) {
                abort();
            }
            break;
        }
        case FrameKind::kCanErrorFrame:
            if (a.details.error.bus != b.details.error.bus || a.details.error.error_type != b.details.error.error_type) {
                abort();
            }
            break;
        case FrameKind::kLinFrame: {
            const LinFrameDetails& x = a.details.lin;
            const LinFrameDetails& y = b.details.lin;
            if (x.direction != y.direction || x.bus != y.bus || x.received_byte_count != y.received_byte_count ||
                std::memcmp(x.payload, y.payload, sizeof x.payload) != 0) {
                abort();
            }
            break;
        }
        case FrameKind::kNone: break;
    }
}

// The walk of every group as messages into stores, each message checked
// against its decoder's general rules; the result collect would give.
CollectResult message_walk(const std::vector<GroupPlan>& plans, const FrameFilter* filter,
                           std::vector<FrameStore>& stores) {
    stores.clear();
    stores.resize(plans.size());
    for (size_t g = 0; g < plans.size(); ++g) {
        std::optional<RecordIterator> it = RecordIterator::create(&plans[g], filter);
        if (!it) abort();
        for (const BusMessage* m = it->first(); m != nullptr; m = it->advance()) {
            BusMessage by_rule;
            std::memset(&by_rule, 0, sizeof by_rule);
            // The no-frame decoder writes only the kind: start from the message.
            std::memcpy(&by_rule, m, sizeof by_rule);
            decoder_of(plans[g], it->view())(it->view(), by_rule);
            check_same_message(*m, by_rule);
            if (m->kind == FrameKind::kNone) return CollectResult::kNoFrame;
            if (!stores[g].append(*m, 1000.0)) return CollectResult::kNoMemory;
        }
    }
    return CollectResult::kDone;
}

CollectResult bulk_walk(const std::vector<GroupPlan>& plans, const FrameFilter* filter,
                        std::vector<FrameStore>& stores) {
    stores.clear();
    stores.resize(plans.size());
    for (size_t g = 0; g < plans.size(); ++g) {
        std::optional<RecordIterator> it = RecordIterator::create(&plans[g], filter);
        if (!it) abort();
        const CollectResult result = collect(*it, 1000.0, stores[g]);
        if (result != CollectResult::kDone) return result;
    }
    return CollectResult::kDone;
}

// Every column of one fill, in one of the shapes of target the host uses.
struct Table {
    enum Shape { kNumpy, kArrow, kEverything };
    std::vector<double> timestamp;
    std::vector<uint32_t> id;
    std::vector<uint8_t> dlc;
    std::vector<uint8_t> flags[kFlagCount];
    std::vector<int16_t> channel;
    std::vector<uint32_t> text;
    std::vector<uint8_t> rows;
    std::vector<uint8_t> values;
    std::vector<int32_t> offsets;

    bool operator==(const Table& o) const {
        if (timestamp.size() != o.timestamp.size()) return false;
        for (size_t i = 0; i < timestamp.size(); ++i) {
            if (!same_double(timestamp[i], o.timestamp[i])) return false;
        }
        for (unsigned k = 0; k < kFlagCount; ++k) {
            if (flags[k] != o.flags[k]) return false;
        }
        return id == o.id && dlc == o.dlc && channel == o.channel && text == o.text && rows == o.rows &&
               values == o.values && offsets == o.offsets;
    }
};

Table fill(std::vector<FrameStore>& stores, Table::Shape shape) {
    uint64_t n = 0, width = 0, bytes = 0;
    std::bitset<kChannelCount> channels;
    for (const FrameStore& s : stores) {
        n += s.size();
        width = std::max(width, s.widest());
        bytes += s.payload_bytes();
        channels |= s.channels();
    }
    int16_t codes[kChannelCount] = {};
    std::vector<uint32_t> texts(kChannelCount * 8, 0);
    for (unsigned c = 0; c < kChannelCount; ++c) {
        codes[c] = static_cast<int16_t>(c * 3);
        for (unsigned u = 0; u < 7; ++u) texts[c * 8 + u] = channels.test(c) ? 'A' + (c + u) % 26 : 0;
    }
    Table t;
    ColumnTargets targets;
    // Exactly as large as the rows need, so that a write beyond them shows.
    t.timestamp.resize(n);
    t.id.resize(n);
    t.dlc.resize(n);
    targets.timestamp = t.timestamp.data();
    targets.arbitration_id = t.id.data();
    targets.dlc = t.dlc.data();
    targets.flag_bits = shape == Table::kArrow;
    for (unsigned k = 0; k < kFlagCount; ++k) {
        t.flags[k].assign(shape == Table::kArrow ? (n + 7) / 8 : n, 0x5A);
        targets.flags[k] = t.flags[k].data();
    }
    if (shape != Table::kNumpy) {
        t.channel.resize(n);
        targets.channel = t.channel.data();
        targets.channel_codes = codes;
        t.values.resize(bytes);
        t.offsets.resize(n + 1);
        targets.data_values = t.values.data();
        targets.offsets32 = t.offsets.data();
    }
    if (shape != Table::kArrow) {
        t.text.assign(n * 5, 0xEEEEEEEE);
        targets.channel_text = t.text.data();
        targets.channel_text_width = 5;
        targets.channel_texts = texts.data();
        // Zeroed as the host's buffers are, or not at all: padding is written.
        t.rows.assign(n * width, shape == Table::kNumpy ? 0 : 0xEE);
        targets.data_rows = t.rows.data();
        targets.data_width = width;
    }
    if (!fill_columns(stores, targets)) abort();
    for (const FrameStore& s : stores) {
        if (s.size() != 0) abort();
    }
    return t;
}

void compare(const std::vector<GroupPlan>& plans, const FrameFilter* filter) {
    for (const Table::Shape shape : {Table::kNumpy, Table::kArrow, Table::kEverything}) {
        std::vector<FrameStore> by_message;
        std::vector<FrameStore> in_bulk;
        const CollectResult a = message_walk(plans, filter, by_message);
        const CollectResult b = bulk_walk(plans, filter, in_bulk);
        if (a != b) abort();
        if (a != CollectResult::kDone) return;
        for (size_t g = 0; g < plans.size(); ++g) {
            const FrameStore& x = by_message[g];
            const FrameStore& y = in_bulk[g];
            if (x.size() != y.size() || x.widest() != y.widest() || x.payload_bytes() != y.payload_bytes() ||
                x.channels() != y.channels() || x.has_nan() != y.has_nan()) {
                abort();
            }
        }
        if (!(fill(by_message, shape) == fill(in_bulk, shape))) abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tolvar::log::set_output(tolvar::log::kMessage, nullptr, quiet);
    if (size < 24) return 0;
    uint64_t first = 0;
    std::memcpy(&first, data, 8);
    first %= size;
    // A filter from the last 16 bytes: a window, an identifier filter and a
    // set of channels.
    double start = 0.0;
    uint32_t id = 0;
    uint32_t mask = 0;
    std::memcpy(&start, data + size - 16, 8);
    std::memcpy(&id, data + size - 8, 4);
    std::memcpy(&mask, data + size - 4, 4);
    if (std::isnan(start)) start = 0.0;
    FrameFilter filter;
    filter.set_window(1000.0, 1000.0 + start, 1000.0 + start + static_cast<double>(mask % 1000) / 100.0);
    filter.set_id_filters({{id & 0x1FFFFFFFu, mask & 0x1FFFFFFFu, static_cast<int8_t>(static_cast<int>(id >> 30) - 1)}});
    std::bitset<kChannelCount> channels;
    for (unsigned c = 0; c < kChannelCount; c += 1 + (mask >> 24) % 7) channels.set(c);
    filter.set_channels(channels);

    tolvar::stream::MemoryStream stream;
    stream.write(data, size);
    for (const bool any_writer : {false, true}) {
        const FuzzPlans parsed = plans_of(stream, first, size, any_writer);
        compare(parsed.plans, nullptr);
        compare(parsed.plans, &filter);
    }
    stream.close();
    return 0;
}
