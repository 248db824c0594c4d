// Walks bus-logging data groups held in memory: classic CAN frames with
// their payload in the record, and CAN FD frames whose 64-byte payload
// follows each record as a VLSD value. The recording comes from the test
// writer:
//   .venv/bin/python tests/make_recordings.py build/bench-data --walk 1000000
//   build/native/record_iterator_bench build/bench-data/walk.mf4
// (or TOLVAR_BENCH_WALK=path). Prints records/s and bytes/s; asserts nothing.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "bus/record_iterator.h"
#include "bus/record_plan.h"
#include "mdf/mdf_document.h"
#include "stream/file_stream.h"
#include "stream/memory_stream.h"

namespace {

using namespace tolvar;

// The walk recording read into memory, opened and planned: data group 0
// holds the classic frames, data group 1 the CAN FD frames.
struct Recording {
    std::unique_ptr<stream::MemoryStream> stream;
    std::unique_ptr<mdf::MdfDocument> document;
    std::vector<bus::GroupPlan> plans;
};

Recording g_recording;

Recording load_recording(const char* path) {
    Recording r;
    auto file = stream::FileStream::open(path);
    if (file == nullptr) return r;
    r.stream = std::make_unique<stream::MemoryStream>();
    std::vector<uint8_t> chunk(1 << 20);
    for (int64_t got; (got = file->read(chunk.data(), chunk.size())) > 0;) {
        r.stream->write(chunk.data(), static_cast<uint64_t>(got));
    }
    r.document = mdf::MdfDocument::open(r.stream.get());
    if (r.document == nullptr) return r;
    std::optional<std::vector<bus::GroupPlan>> plans = bus::build_plans(*r.document);
    if (plans) r.plans = std::move(*plans);
    return r;
}

// Walks one data group from its first record; gives the frames and the
// bytes of records walked.
int64_t walk_once(const bus::GroupPlan* plan, double& sum, int64_t& bytes) {
    std::optional<bus::RecordIterator> it = bus::RecordIterator::create(plan, 0.0);
    if (!it) return 0;
    int64_t frames = 0;
    for (bus::WalkStep step = it->first(); step != bus::WalkStep::kEnd; step = it->advance()) {
        const bus::DecodedRecord& r = it->current();
        sum += r.frame.timestamp + (bus::payload_length(r.frame) != 0 ? r.payload[0] : 0);
        ++frames;
    }
    bytes = static_cast<int64_t>(it->position());
    return frames;
}

// Walks data group 1 (fd) or 0, whose frames the benchmark's argument counts.
void walk(benchmark::State& state, bool fd) {
    const size_t group = fd ? 1 : 0;
    if (g_recording.plans.size() <= group) {
        state.SkipWithError("the walk recording does not open or lacks the data group");
        return;
    }
    const bus::GroupPlan* plan = &g_recording.plans[group];
    const int64_t records = state.range(0);
    double sum = 0;
    int64_t bytes = 0;
    int64_t frames = 0;
    for (auto _ : state) {
        frames += walk_once(plan, sum, bytes);
        benchmark::DoNotOptimize(sum);
    }
    if (records == 0 || frames != records * static_cast<int64_t>(state.iterations())) {
        state.SkipWithError("the walk did not deliver every frame");
    }
    state.SetItemsProcessed(frames);
    state.SetBytesProcessed(bytes * static_cast<int64_t>(state.iterations()));
    state.SetLabel(fd ? "CAN FD, 64-byte VLSD payloads" : "classic CAN, payload in the record");
}

void BM_WalkClassicCan(benchmark::State& state) { walk(state, false); }
void BM_WalkCanFdVlsd(benchmark::State& state) { walk(state, true); }

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const char* path = argc > 1 ? argv[1] : std::getenv("TOLVAR_BENCH_WALK");
    if (path == nullptr) {
        std::fprintf(stderr, "usage: %s WALK.mf4 (make one with: python tests/make_recordings.py DIR --walk 1000000)\n",
                     argv[0]);
        return 2;
    }
    g_recording = load_recording(path);
    if (g_recording.plans.size() < 2) {
        std::fprintf(stderr, "%s: not a walk recording (two data groups) that opens\n", path);
        return 1;
    }
    // The argument is the number of frames one walk gives.
    double sum = 0;
    int64_t bytes = 0;
    benchmark::RegisterBenchmark("BM_WalkClassicCan", BM_WalkClassicCan)
        ->Arg(walk_once(&g_recording.plans[0], sum, bytes))
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_WalkCanFdVlsd", BM_WalkCanFdVlsd)
        ->Arg(walk_once(&g_recording.plans[1], sum, bytes))
        ->Unit(benchmark::kMillisecond);
#ifdef NDEBUG
    benchmark::AddCustomContext("tolvar build", "optimised (NDEBUG)");
#else
    benchmark::AddCustomContext("tolvar build", "debug (assertions on)");
#endif
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
