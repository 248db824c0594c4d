// The native signal path on a recording from disk, as decode_to_numpy runs
// it without the interpreter: every data group walked a few thousand rows at
// a time, merged in iteration's order and decoded into tables; beside it the
// same walk and merge with a database that matches no frame (what the
// decoding adds is the difference). The recording is bench/signals.py's
// (its identifiers: classic 0x100 + 3 i, CAN FD 0x18FF0000 + i), decoded
// with a database of the same shape (50 messages of 8 signals):
//   .venv/bin/python bench/signals.py --frames 1000000 --workdir build/signals-bench
//   build/native/signal_walk_bench build/signals-bench/signals_1000000.mf4
// (or TOLVAR_BENCH_RECORDING=path). Prints frames/s, in one thread and in
// two; asserts nothing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bus/record_plan.h"
#include "bus/signal_program.h"
#include "bus/signal_walk.h"
#include "mdf/mdf_document.h"
#include "stream/file_stream.h"

namespace {

using namespace tolvar;
using namespace tolvar::bus;

std::string g_path;

struct Opened {
    std::unique_ptr<stream::FileStream> stream;
    std::unique_ptr<mdf::MdfDocument> document;
    std::vector<GroupPlan> plans;
};

Opened open_recording() {
    Opened o;
    o.stream = stream::FileStream::open(g_path.c_str());
    if (o.stream) o.document = mdf::MdfDocument::open(o.stream.get());
    if (o.document) {
        auto plans = build_plans(*o.document);
        if (plans) o.plans = std::move(*plans);
    }
    return o;
}

// 50 messages of the recording's identifiers, 8 signals each: 6 to 8 bits
// in the classic ones, 8 to 32 in the FD ones, both byte orders, some
// signed and scaled; 4 multiplexed by a 4-bit selector in byte 0.
DecodeDescription bench_database(bool matching) {
    std::mt19937 random(7);
    DatabaseDescription d;
    for (uint32_t index = 0; index < 50; ++index) {
        MessageDescription m;
        const bool fd = index >= 25;
        m.name = "Msg" + std::to_string(index);
        m.extended = fd;
        // Not matching: 0x400 apart from every identifier of the recording.
        m.frame_id = (fd ? 0x18FF0000u + index : 0x100u + 3 * index) ^ (matching ? 0u : 0x400u);
        m.length = fd ? 64 : 8;
        const bool muxed = index == 5 || index == 17 || index == 30 || index == 42;
        uint32_t bit = 0;
        if (muxed) {
            SignalDescription mux;
            mux.name = "Mux";
            mux.length = 4;
            m.signals.push_back(mux);
            bit = 8;
        }
        const bool big = random() % 5 < 2;
        const uint32_t count = 8 - static_cast<uint32_t>(m.signals.size());
        const uint32_t slot = (m.length * 8 - bit) / count;
        for (uint32_t j = 0; j < count; ++j) {
            SignalDescription s;
            s.name = "Sig" + std::to_string(j);
            s.length = std::min<uint32_t>(fd ? 8 + random() % 25 : 4 + random() % 5, slot);
            const uint32_t first = bit + j * slot + random() % (slot - s.length + 1);
            s.byte_order = big ? SignalByteOrder::kBigEndian : SignalByteOrder::kLittleEndian;
            s.start = big ? 8 * (first / 8) + 7 - first % 8 : first;
            s.type = random() % 4 == 0 ? SignalValueType::kSigned : SignalValueType::kUnsigned;
            if (random() % 2 == 0) {
                s.scale = 0.25;
                s.offset = -40;
            }
            if (muxed) {
                s.multiplexer = "Mux";
                s.selector = {{j % 3, j % 3}};
            }
            m.signals.push_back(s);
        }
        d.messages.push_back(std::move(m));
    }
    DecodeDescription description;
    description.databases.push_back(std::move(d));
    return description;
}

void run(benchmark::State& state, bool matching) {
    Opened o = open_recording();
    if (o.plans.empty()) return state.SkipWithError("the recording does not open");
    SignalProgram program;
    std::string error;
    if (!SignalProgram::compile(bench_database(matching), program, error)) return state.SkipWithError(error.c_str());
    uint64_t frames = 0;
    for (auto _ : state) {
        SignalDecoder decoder(program);
        if (decode_frames(o.plans.data(), o.plans.size(), nullptr, o.document->start_time(), decoder) !=
            ColumnResult::kEnd) {
            return state.SkipWithError("the walk failed");
        }
        frames += decoder.frames();
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

void BM_DecodeRecording(benchmark::State& state) { run(state, true); }
void BM_WalkAndMergeOnly(benchmark::State& state) { run(state, false); }
// One and two threads, each decoding the recording through a reader of
// its own, as two calls on two readers do: the rate over both threads
// against one's tells what the threads share (the heap, the process's
// address space).
BENCHMARK(BM_DecodeRecording)->Unit(benchmark::kMillisecond)->UseRealTime()->Threads(1)->Threads(2);
BENCHMARK(BM_WalkAndMergeOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc > 1) {
        g_path = argv[1];
    } else if (const char* env = std::getenv("TOLVAR_BENCH_RECORDING")) {
        g_path = env;
    } else {
        std::fprintf(stderr, "usage: %s RECORDING.mf4 (made by bench/signals.py --workdir DIR)\n", argv[0]);
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
