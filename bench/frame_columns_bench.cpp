// The native part of the columnar reads on a large recording from disk: every
// data group walked into a frame store; the column path as to_numpy and
// to_arrow lay their tables out (walk, merge and fill), and a chunk at a
// time as a stream of record batches does; and a walk whose filter keeps
// nothing. The recording comes from the test writer:
//   .venv/bin/python tests/make_recordings.py build/bench-data --large 1000000
//   build/native/frame_columns_bench build/bench-data/large.mf4
// (or TOLVAR_BENCH_RECORDING=path). Prints frames/s; asserts nothing.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bus/frame_columns.h"
#include "bus/frame_filter.h"
#include "bus/frame_store.h"
#include "bus/record_iterator.h"
#include "bus/record_plan.h"
#include "mdf/mdf_document.h"
#include "stream/file_stream.h"

namespace {

using namespace tolvar;

std::string g_path;

struct Opened {
    std::unique_ptr<stream::FileStream> stream;
    std::unique_ptr<mdf::MdfDocument> document;
    std::vector<bus::GroupPlan> plans;
};

Opened open_recording() {
    Opened o;
    o.stream = stream::FileStream::open(g_path.c_str());
    if (o.stream) o.document = mdf::MdfDocument::open(o.stream.get());
    if (o.document) {
        auto plans = bus::build_plans(*o.document);
        if (plans) {
            o.plans = std::move(*plans);
        } else {
            o.document.reset();
        }
    }
    return o;
}

// Every group into its store; false when a walk fails.
bool collect_all(const Opened& o, const bus::FrameFilter* filter, std::vector<bus::FrameStore>& stores) {
    stores.clear();
    stores.resize(o.plans.size());
    for (size_t g = 0; g < o.plans.size(); ++g) {
        auto cursor = bus::RecordIterator::create(&o.plans[g], o.document->start_time(), filter);
        if (!cursor) return false;
        cursor->rewind();
        if (cursor->collect(stores[g]) != bus::CollectResult::kDone) return false;
    }
    return true;
}

uint64_t rows_of(const std::vector<bus::FrameStore>& stores) {
    uint64_t n = 0;
    for (const auto& s : stores) n += s.appended();
    return n;
}

void BM_Collect(benchmark::State& state) {
    Opened o = open_recording();
    if (!o.document) return state.SkipWithError("the recording does not open");
    uint64_t frames = 0;
    std::vector<bus::FrameStore> stores;
    for (auto _ : state) {
        if (!collect_all(o, nullptr, stores)) return state.SkipWithError("a walk failed");
        frames += rows_of(stores);
        state.PauseTiming();
        stores.clear();
        state.ResumeTiming();
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

// The frames as tables (chunk_rows 0) or as a stream of chunks.
void columns(benchmark::State& state, bool arrow, uint64_t chunk_rows) {
    Opened o = open_recording();
    if (!o.document) return state.SkipWithError("the recording does not open");
    uint64_t frames = 0;
    bus::ColumnLayout layout;
    if (arrow) {
        layout.flag_bits = true;
    } else {
        layout.channel = bus::ColumnLayout::Channel::kText;
        layout.data = bus::ColumnLayout::Data::kRows;
    }
    for (auto _ : state) {
        auto path = bus::FrameColumns::open(o.plans.data(), o.plans.size(), nullptr, o.document->start_time(), layout, chunk_rows);
        if (!path) return state.SkipWithError("no memory");
        for (;;) {
            bus::ColumnChunk chunk;
            const bus::ColumnResult result = path->next(chunk);
            if (result == bus::ColumnResult::kEnd) break;
            if (result != bus::ColumnResult::kChunk) return state.SkipWithError("the read failed");
            frames += chunk.rows;
        }
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

void BM_NumpyColumns(benchmark::State& state) { columns(state, false, 0); }
void BM_ArrowColumns(benchmark::State& state) { columns(state, true, 0); }
void BM_ArrowChunks(benchmark::State& state) { columns(state, true, 65536); }
// A filter that keeps nothing (channels=[]): the walk and the decoding alone.
void BM_WalkKeepingNothing(benchmark::State& state) {
    Opened o = open_recording();
    if (!o.document) return state.SkipWithError("the recording does not open");
    bus::FrameFilter filter;
    filter.set_channels({});
    uint64_t records = 0;
    std::vector<bus::FrameStore> stores;
    for (auto _ : state) {
        if (!collect_all(o, &filter, stores)) return state.SkipWithError("a walk failed");
        for (const auto& plan : o.plans) {
            for (const auto& group : plan.record_groups) {
                if (group.record_length >= 0) records += group.cycle_count;
            }
        }
    }
    state.counters["records/s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc > 1) {
        g_path = argv[1];
    } else if (const char* env = std::getenv("TOLVAR_BENCH_RECORDING")) {
        g_path = env;
    } else {
        std::fprintf(stderr,
                     "usage: %s RECORDING.mf4 (make one with: python tests/make_recordings.py DIR --large 1000000)\n",
                     argv[0]);
        return 2;
    }
    // TOLVAR_BENCH_ONCE=1 runs each benchmark exactly once, for instruction
    // counts (valgrind --tool=callgrind) that divide by the recording's frames.
    const bool once = std::getenv("TOLVAR_BENCH_ONCE") != nullptr;
    for (auto* b : {benchmark::RegisterBenchmark("Collect", BM_Collect),
                    benchmark::RegisterBenchmark("NumpyColumns", BM_NumpyColumns),
                    benchmark::RegisterBenchmark("ArrowColumns", BM_ArrowColumns),
                    benchmark::RegisterBenchmark("ArrowChunks", BM_ArrowChunks),
                    benchmark::RegisterBenchmark("WalkKeepingNothing", BM_WalkKeepingNothing)}) {
        b->Unit(benchmark::kMillisecond);
        if (once) b->Iterations(1);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
