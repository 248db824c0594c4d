// The native part of the columnar reads on a large recording from disk: every
// data group walked into a frame store, then the stores merged into columns
// as to_numpy and to_arrow lay them out; and a walk whose filter keeps
// nothing. The recording comes from the test writer:
//   .venv/bin/python tests/make_recordings.py build/bench-data --large 1000000
//   build/native/frame_columns_bench build/bench-data/large.mf4
// (or TOLVAR_BENCH_RECORDING=path). Prints frames/s; asserts nothing.
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bus/frame_columns.h"
#include "bus/frame_filter.h"
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
        auto cursor = bus::RecordIterator::create(&o.plans[g], filter);
        if (!cursor || bus::collect(*cursor, o.document->start_time(), stores[g]) != bus::CollectResult::kDone) {
            return false;
        }
    }
    return true;
}

uint64_t rows_of(const std::vector<bus::FrameStore>& stores) {
    uint64_t n = 0;
    for (const auto& s : stores) n += s.size();
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

// Buffers of one table, allocated zeroed and with large pages where they
// are large, as numpy allocates its arrays.
struct Buffers {
    std::vector<void*> owned;
    void* make(uint64_t bytes) {
        void* p = std::calloc(bytes == 0 ? 1 : bytes, 1);
        owned.push_back(p);
        const uintptr_t page = 4096;
        const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + page - 1) & ~(page - 1);
        const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) & ~(page - 1);
        if (bytes >= (4u << 20) && end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
        return p;
    }
    ~Buffers() {
        for (void* p : owned) std::free(p);
    }
};

void columns(benchmark::State& state, bool arrow) {
    Opened o = open_recording();
    if (!o.document) return state.SkipWithError("the recording does not open");
    uint64_t frames = 0;
    std::vector<bus::FrameStore> stores;
    int16_t codes[bus::kChannelCount] = {};
    std::vector<uint32_t> texts(bus::kChannelCount * 8, 0x41);
    for (auto _ : state) {
        if (!collect_all(o, nullptr, stores)) return state.SkipWithError("a walk failed");
        uint64_t n = 0, widest = 0, bytes = 0;
        for (const auto& s : stores) {
            n += s.size();
            widest = std::max(widest, s.widest());
            bytes += s.payload_bytes();
        }
        Buffers b;
        bus::ColumnTargets t;
        t.timestamp = static_cast<double*>(b.make(n * 8));
        t.arbitration_id = static_cast<uint32_t*>(b.make(n * 4));
        t.dlc = static_cast<uint8_t*>(b.make(n));
        t.flag_bits = arrow;
        for (auto& f : t.flags) f = static_cast<uint8_t*>(b.make(arrow ? (n + 7) / 8 : n));
        if (arrow) {
            t.channel = static_cast<int16_t*>(b.make(n * 2));
            t.channel_codes = codes;
            t.data_values = static_cast<uint8_t*>(b.make(bytes));
            t.offsets32 = static_cast<int32_t*>(b.make((n + 1) * 4));
        } else {
            t.channel_text = static_cast<uint32_t*>(b.make(n * 5 * 4));
            t.channel_text_width = 5;
            t.channel_texts = texts.data();
            t.data_rows = static_cast<uint8_t*>(b.make(n * widest));
            t.data_width = widest;
        }
        if (!bus::fill_columns(stores, t)) return state.SkipWithError("the merge failed");
        frames += n;
    }
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

void BM_NumpyColumns(benchmark::State& state) { columns(state, false); }
void BM_ArrowColumns(benchmark::State& state) { columns(state, true); }

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
                    benchmark::RegisterBenchmark("WalkKeepingNothing", BM_WalkKeepingNothing)}) {
        b->Unit(benchmark::kMillisecond);
        if (once) b->Iterations(1);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
