// Walks synthetic bus-logging data groups held in memory: classic CAN frames
// with their payload in the record, and CAN FD frames whose payload follows
// each record as a VLSD value. Prints records/s and bytes/s; asserts nothing.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bus/record_plan.h"
#include "mdf/data_group_block.h"
#include "bus/record_iterator.h"
#include "mdf/block_cache.h"
#include "stream/memory_stream.h"

namespace {

using tolvar::stream::MemoryStream;
using namespace tolvar;

// Lays out MDF 4 blocks one after another from offset 64.
class Writer {
public:
    Writer() : bytes_(64, 0) {}

    template <class T>
    static void put(std::vector<uint8_t>& out, T value) {
        const auto* p = reinterpret_cast<const uint8_t*>(&value);
        out.insert(out.end(), p, p + sizeof value);
    }

    uint64_t block(const char* code, const std::vector<uint64_t>& links, const std::vector<uint8_t>& data) {
        while (bytes_.size() % 8 != 0) bytes_.push_back(0);
        const uint64_t at = bytes_.size();
        std::vector<uint8_t> b = {'#', '#', static_cast<uint8_t>(code[0]), static_cast<uint8_t>(code[1]), 0, 0, 0, 0};
        put<uint64_t>(b, 24 + 8 * links.size() + data.size());
        put<uint64_t>(b, links.size());
        for (uint64_t link : links) put(b, link);
        b.insert(b.end(), data.begin(), data.end());
        bytes_.insert(bytes_.end(), b.begin(), b.end());
        return at;
    }

    uint64_t tx(const std::string& text) {
        std::vector<uint8_t> data(text.begin(), text.end());
        data.push_back(0);
        return block("TX", {}, data);
    }

    struct Channel {
        const char* name;
        uint32_t byte_offset;
        uint8_t bit_offset;
        uint32_t bit_count;
        uint8_t data_type;
        uint8_t cn_type;
        uint64_t conversion;
        uint64_t data;
    };

    uint64_t channels(const std::vector<Channel>& list) {
        uint64_t next = 0;
        for (size_t i = list.size(); i-- > 0;) {
            const Channel& c = list[i];
            std::vector<uint8_t> d;
            put<uint8_t>(d, c.cn_type);
            put<uint8_t>(d, 0);
            put<uint8_t>(d, c.data_type);
            put<uint8_t>(d, c.bit_offset);
            put<uint32_t>(d, c.byte_offset);
            put<uint32_t>(d, c.bit_count);
            d.resize(d.size() + 8 + 4 + 48, 0);
            next = block("CN", {next, 0, tx(c.name), 0, c.conversion, c.data, 0, 0}, d);
        }
        return next;
    }

    uint64_t cg(uint64_t first_cn, uint64_t record_id, uint32_t data_bytes, uint16_t flags, uint64_t source,
                uint64_t next) {
        std::vector<uint8_t> d;
        put<uint64_t>(d, record_id);
        put<uint64_t>(d, 0);
        put<uint16_t>(d, flags);
        put<uint16_t>(d, 0);
        put<uint32_t>(d, 0);
        put<uint32_t>(d, data_bytes);
        put<uint32_t>(d, 0);
        return block("CG", {next, first_cn, 0, source, 0, 0}, d);
    }

    uint64_t bus_source() { return block("SI", {0, 0, 0}, {2, 2, 0, 0, 0, 0, 0, 0}); }

    uint64_t linear(double factor) {
        std::vector<uint8_t> d = {1, 0, 0, 0, 0, 0, 2, 0};
        put<double>(d, 0);
        put<double>(d, 0);
        put<double>(d, 0.0);
        put<double>(d, factor);
        return block("CC", {0, 0, 0, 0}, d);
    }

    std::unique_ptr<stream::MemoryStream> stream() const {
        auto s = std::make_unique<stream::MemoryStream>();
        s->write(bytes_.data(), bytes_.size());
        return s;
    }

    std::vector<uint8_t> bytes_;
};

// The channels a CAN logger writes for a data frame, bit-packed as usual:
// 6-byte timestamp, bus channel, 29-bit id with IDE, DLC and flags, data
// length, then the data bytes (in the record or as a VLSD value).
std::vector<Writer::Channel> can_channels(Writer& w, uint32_t data_bits, uint8_t cn_type, uint64_t vlsd) {
    const uint64_t time = w.linear(1e-6);
    return {
        {"Timestamp", 0, 0, 48, 0, 0, time, 0},
        {"CAN_DataFrame.BusChannel", 6, 0, 8, 0, 0, 0, 0},
        {"CAN_DataFrame.ID", 7, 0, 29, 0, 0, 0, 0},
        {"CAN_DataFrame.IDE", 10, 7, 1, 0, 0, 0, 0},
        {"CAN_DataFrame.DLC", 11, 0, 4, 0, 0, 0, 0},
        {"CAN_DataFrame.Dir", 11, 4, 1, 0, 0, 0, 0},
        {"CAN_DataFrame.EDL", 11, 5, 1, 0, 0, 0, 0},
        {"CAN_DataFrame.BRS", 11, 6, 1, 0, 0, 0, 0},
        {"CAN_DataFrame.ESI", 11, 7, 1, 0, 0, 0, 0},
        {"CAN_DataFrame.DataLength", 12, 0, 8, 0, 0, 0, 0},
        {"CAN_DataFrame.DataBytes", 13, 0, data_bits, 10, cn_type, 0, vlsd},
    };
}

constexpr uint32_t kFixedHeader = 13;

struct Recording {
    std::unique_ptr<stream::MemoryStream> stream;
    mdf::BlockRef group;
    uint64_t data_bytes = 0;
    int64_t records = 0;
};

// One data group of `count` frames (1-byte record ids); fd frames carry 64
// bytes as VLSD values, classic ones 8 bytes in the record.
Recording make_recording(int64_t count, bool fd) {
    Writer w;
    std::vector<uint8_t> records;
    uint64_t first_cg;
    uint32_t record_length;
    if (fd) {
        const uint64_t vlsd = w.cg(0, 2, 0, 1, 0, 0);
        record_length = kFixedHeader + 8;  // the data bytes field holds the VLSD offset
        first_cg = w.cg(w.channels(can_channels(w, 64, 1, vlsd)), 1, record_length, 0, w.bus_source(), vlsd);
    } else {
        record_length = kFixedHeader + 8;
        first_cg = w.cg(w.channels(can_channels(w, 64, 0, 0)), 1, record_length, 0, w.bus_source(), 0);
    }
    for (int64_t i = 0; i < count; ++i) {
        records.push_back(1);
        const uint64_t time = static_cast<uint64_t>(i) * 100;
        const uint8_t* t = reinterpret_cast<const uint8_t*>(&time);
        records.insert(records.end(), t, t + 6);
        records.push_back(1);
        const uint32_t id = 0x100 + static_cast<uint32_t>(i % 0x600);
        Writer::put<uint32_t>(records, id);
        records.push_back(fd ? 0xF0 | 0x2F : 8);
        records.push_back(fd ? 64 : 8);
        for (int b = 0; b < 8; ++b) records.push_back(static_cast<uint8_t>(i + b));
        if (fd) {
            records.push_back(2);
            Writer::put<uint32_t>(records, 64);
            for (int b = 0; b < 64; ++b) records.push_back(static_cast<uint8_t>(i * b));
        }
    }
    // 1-byte record ids, as a logger writes them for one or more groups.
    const uint64_t dt = w.block("DT", {}, records);
    const uint64_t dg = w.block("DG", {0, first_cg, dt, 0}, {1, 0, 0, 0, 0, 0, 0, 0});
    Recording r;
    r.stream = w.stream();
    mdf::BlockCache cache;
    r.group = mdf::parse_block_at(*r.stream, dg, cache);
    r.data_bytes = records.size();
    r.records = count;
    return r;
}

void walk(benchmark::State& state, bool fd) {
    const Recording recording = make_recording(state.range(0), fd);
    const auto* group = mdf::as<mdf::DgBlock>(recording.group);
    std::optional<bus::GroupPlan> plan;
    if (group != nullptr) plan = bus::GroupPlan::build(*group);
    if (!plan) {
        state.SkipWithError("the synthetic data group did not parse");
        return;
    }
    int64_t frames = 0;
    for (auto _ : state) {
        std::optional<bus::RecordIterator> it = bus::RecordIterator::create(&*plan);
        double sum = 0;
        for (const bus::BusMessage* m = it->first(); m != nullptr; m = it->advance()) {
            sum += m->time + m->data[0];
            ++frames;
        }
        benchmark::DoNotOptimize(sum);
    }
    if (frames != recording.records * static_cast<int64_t>(state.iterations())) {
        state.SkipWithError("the walk did not deliver every frame");
    }
    state.SetItemsProcessed(frames);
    state.SetBytesProcessed(static_cast<int64_t>(recording.data_bytes) * static_cast<int64_t>(state.iterations()));
    state.SetLabel(fd ? "CAN FD, 64-byte VLSD payloads" : "classic CAN, payload in the record");
}

void BM_WalkClassicCan(benchmark::State& state) { walk(state, false); }
void BM_WalkCanFdVlsd(benchmark::State& state) { walk(state, true); }

BENCHMARK(BM_WalkClassicCan)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WalkCanFdVlsd)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
#ifdef NDEBUG
    benchmark::AddCustomContext("tolvar build", "optimised (NDEBUG)");
#else
    benchmark::AddCustomContext("tolvar build", "debug (assertions on)");
#endif
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
