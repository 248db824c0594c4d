// Opens a large recording from disk and walks every record of every data
// group, as the reader does: one benchmark per data group and one for the
// whole file. The recording comes from the test writer:
//   .venv/bin/python tests/make_recordings.py build/bench-data --large 1000000
//   build/native/document_walk_bench build/bench-data/large.mf4
// (or TOLVAR_BENCH_RECORDING=path). Prints records/s and MB/s; asserts nothing.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bus/record_iterator.h"
#include "bus/record_plan.h"
#include "mdf/mdf_document.h"
#include "stream/file_stream.h"

namespace {

std::string g_path;

// Walks one data group from its first record; gives records and bytes.
void walk(const tolvar::bus::GroupPlan* plan, uint64_t& records, uint64_t& bytes) {
    auto iterator = tolvar::bus::RecordIterator::create(plan, 0.0);
    if (!iterator) return;
    for (auto step = iterator->first(); step != tolvar::bus::WalkStep::kEnd; step = iterator->advance()) {
        benchmark::DoNotOptimize(iterator->current().frame.id);
        ++records;
    }
    bytes += iterator->position();
}

struct Opened {
    std::unique_ptr<tolvar::stream::FileStream> stream;
    std::unique_ptr<tolvar::mdf::MdfDocument> document;
    std::vector<tolvar::bus::GroupPlan> plans;
};

// Opens the recording as the reader does: parse, then plan.
Opened open_recording() {
    Opened o;
    o.stream = tolvar::stream::FileStream::open(g_path.c_str());
    if (o.stream) o.document = tolvar::mdf::MdfDocument::open(o.stream.get());
    if (o.document) {
        auto plans = tolvar::bus::build_plans(*o.document);
        if (plans) o.plans = std::move(*plans);
        else o.document.reset();
    }
    return o;
}

void BM_OpenAndWalkEverything(benchmark::State& state) {
    uint64_t records = 0, bytes = 0;
    for (auto _ : state) {
        Opened o = open_recording();
        if (!o.document) {
            state.SkipWithError("the recording does not open");
            return;
        }
        for (const auto& plan : o.plans) walk(&plan, records, bytes);
    }
    state.counters["records/s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

void BM_WalkDataGroup(benchmark::State& state) {
    Opened o = open_recording();
    if (!o.document || static_cast<size_t>(state.range(0)) >= o.plans.size()) {
        state.SkipWithError("the recording does not open or has no such data group");
        return;
    }
    const auto* plan = &o.plans[static_cast<size_t>(state.range(0))];
    uint64_t records = 0, bytes = 0;
    for (auto _ : state) walk(plan, records, bytes);
    state.counters["records/s"] = benchmark::Counter(static_cast<double>(records), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
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
    benchmark::RegisterBenchmark("OpenAndWalkEverything", BM_OpenAndWalkEverything)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("WalkDataGroup", BM_WalkDataGroup)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
