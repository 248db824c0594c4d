// The native signal decoding alone, on frames held in memory: a database of
// the benchmark's shape (50 messages of 8 signals: 25 classic of 8 bytes, 25
// CAN FD of 64 bytes, 4 of them multiplexed; signals of both byte orders,
// signed and scaled, aligned and not) compiled once, then 2^20 frames over
// its messages, with random payloads, decoded ten times over into fresh
// tables per iteration (tables of 10 million frames); as physical values and
// with value names; and small tables whose memory the heap keeps. Prints
// frames/s and signals/s; asserts nothing.
//   build/native/signal_decode_bench
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bus/frame.h"
#include "bus/signal_decoder.h"

namespace {

using namespace tolvar::bus;

constexpr int kMessages = 50;
constexpr int kSignalsPerMessage = 8;
constexpr size_t kFrames = size_t{1} << 20;
// Each decoding takes the frames this many times over: tables of the size
// 10 million frames make, 200,000 rows a message.
constexpr int kPasses = 10;

SignalDescription make_signal(std::mt19937& random, int index, uint32_t start, uint32_t length) {
    SignalDescription s;
    s.name = "s" + std::to_string(index);
    s.length = length;
    s.byte_order = random() % 3 == 0 ? SignalByteOrder::kBigEndian : SignalByteOrder::kLittleEndian;
    // A big-endian signal numbered by its most significant bit.
    s.start = s.byte_order == SignalByteOrder::kLittleEndian ? start : 8 * (start / 8) + 7 - start % 8;
    s.type = random() % 4 == 0 ? SignalValueType::kSigned : SignalValueType::kUnsigned;
    if (random() % 2 == 0) {
        s.scale = 0.125 * (1 + random() % 8);
        s.offset = -40.0;
    }
    if (random() % 8 == 0) s.value_names = {{0, "off"}, {1, "on"}, {2, "error"}};
    return s;
}

// Signals one to each eighth of the message, of 6 to 8 bits in classic
// messages and 8 to 32 in FD ones (so some end inside a byte).
MessageDescription make_message(std::mt19937& random, int index) {
    MessageDescription m;
    const bool fd = index >= kMessages / 2;
    m.name = "m" + std::to_string(index);
    m.extended = fd;
    m.frame_id = fd ? 0x18F00000u + static_cast<uint32_t>(index) : 0x100u + static_cast<uint32_t>(index);
    m.length = fd ? 64 : 8;
    const bool multiplexed = index % 12 == 5;
    uint32_t bit = 0;
    const uint32_t per_signal = m.length * 8 / kSignalsPerMessage;
    for (int i = 0; i < kSignalsPerMessage; ++i) {
        const uint32_t length = fd ? 8 + random() % 25 : per_signal - random() % 3;
        m.signals.push_back(make_signal(random, i, bit, length));
        bit += per_signal;
    }
    if (multiplexed) {
        // The first signal selects the others two at a time, as 0 to 3.
        m.signals[0].byte_order = SignalByteOrder::kLittleEndian;
        m.signals[0].start = 0;
        m.signals[0].length = 2;
        m.signals[0].type = SignalValueType::kUnsigned;
        for (int i = 1; i < kSignalsPerMessage; ++i) {
            m.signals[i].multiplexer = "s0";
            const uint64_t value = static_cast<uint64_t>((i - 1) / 2);
            m.signals[i].selector = {{value, value}};
        }
    }
    return m;
}

struct Workload {
    DecodeDescription description;
    std::vector<uint8_t> payloads;  // 64 bytes per frame
    std::vector<CanFrameView> frames;
};

Workload& workload() {
    static Workload w = [] {
        Workload made;
        std::mt19937 random(2024);
        DatabaseDescription database;
        for (int i = 0; i < kMessages; ++i) database.messages.push_back(make_message(random, i));
        made.description.databases.push_back(std::move(database));
        made.payloads.resize(kFrames * 64);
        for (uint8_t& b : made.payloads) b = static_cast<uint8_t>(random());
        made.frames.resize(kFrames);
        for (size_t i = 0; i < kFrames; ++i) {
            const MessageDescription& m = made.description.databases[0].messages[random() % kMessages];
            CanFrameView& f = made.frames[i];
            f.timestamp = static_cast<double>(i) * 1e-5;
            f.arbitration_id = m.frame_id;
            f.flags = static_cast<uint8_t>((m.extended ? 1u << kFlagExtended : 0u) | (m.length > 8 ? 1u << kFlagFd : 0u));
            f.channel = 1;
            f.length = static_cast<uint8_t>(m.length);
            f.payload = made.payloads.data() + i * 64;
        }
        return made;
    }();
    return w;
}

void decode(benchmark::State& state, bool choices) {
    Workload& w = workload();
    w.description.choices = choices;
    SignalProgram program;
    std::string error;
    if (!SignalProgram::compile(w.description, program, error)) return state.SkipWithError(error.c_str());
    uint64_t frames = 0;
    for (auto _ : state) {
        SignalDecoder decoder(program);
        for (int pass = 0; pass < kPasses; ++pass) {
            if (!decoder.append(w.frames.data(), w.frames.size())) return state.SkipWithError("out of memory");
        }
        benchmark::DoNotOptimize(decoder.tables().data());
        frames += w.frames.size() * kPasses;
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["signals/s"] =
        benchmark::Counter(static_cast<double>(frames * kSignalsPerMessage), benchmark::Counter::kIsRate);
}

// 65536 frames into fresh tables, again and again: the tables (5 MB) come
// back from the heap each time, so this is the decoding without the
// system's cost of fresh pages.
void BM_DecodeSmallTables(benchmark::State& state) {
    // The heap keeps what the tables give back, for the next ones.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    Workload& w = workload();
    w.description.choices = false;
    SignalProgram program;
    std::string error;
    if (!SignalProgram::compile(w.description, program, error)) return state.SkipWithError(error.c_str());
    constexpr size_t kSmall = 65536;
    uint64_t frames = 0;
    for (auto _ : state) {
        SignalDecoder decoder(program);
        if (!decoder.append(w.frames.data(), kSmall)) return state.SkipWithError("out of memory");
        benchmark::DoNotOptimize(decoder.tables().data());
        frames += kSmall;
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
    state.counters["signals/s"] =
        benchmark::Counter(static_cast<double>(frames * kSignalsPerMessage), benchmark::Counter::kIsRate);
}

void BM_DecodeValues(benchmark::State& state) { decode(state, false); }
void BM_DecodeWithValueNames(benchmark::State& state) { decode(state, true); }

// Frames of identifiers no message has: the look-up alone.
void BM_PassOver(benchmark::State& state) {
    Workload& w = workload();
    SignalProgram program;
    std::string error;
    if (!SignalProgram::compile(w.description, program, error)) return state.SkipWithError(error.c_str());
    std::vector<CanFrameView> others = w.frames;
    for (CanFrameView& f : others) f.arbitration_id ^= 0x40;
    uint64_t frames = 0;
    for (auto _ : state) {
        SignalDecoder decoder(program);
        decoder.append(others.data(), others.size());
        frames += others.size();
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

BENCHMARK(BM_DecodeValues)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeWithValueNames)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeSmallTables)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PassOver)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
