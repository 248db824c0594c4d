// LZSS decoding speed on log-like data (MB/s of output), and the peak memory
// of opening a compressed recording relative to its decoded size.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "../tests/native/stream/layer_test_util.h"
#include "stream/compressed_layer.h"
#include "stream/decompress_stream.h"
#include "stream/file_stream.h"
#include "stream/lzss_decoder.h"

namespace {

using tolvar::test::Bytes;

constexpr size_t kDataSize = 16u << 20;

const Bytes& log_data() {
    static const Bytes data = tolvar::test::log_like(kDataSize, 42);
    return data;
}

const Bytes& payload(unsigned window_bits, unsigned lookahead_bits) {
    static std::map<std::pair<unsigned, unsigned>, Bytes> cache;
    auto& slot = cache[{window_bits, lookahead_bits}];
    if (slot.empty()) slot = tolvar::test::lzss_encode(log_data(), window_bits, lookahead_bits);
    return slot;
}

// The decoder alone, fed 1024 bytes and drained 4096 bytes at a time as the
// decompression stream does.
void BM_LzssDecoder(benchmark::State& state) {
    const unsigned wb = static_cast<unsigned>(state.range(0));
    const unsigned lb = static_cast<unsigned>(state.range(1));
    const Bytes& in = payload(wb, lb);
    std::vector<uint8_t> out(4096);
    for (auto _ : state) {
        auto decoder = tolvar::stream::LzssDecoder::create(1024, wb, lb);
        size_t fed = 0;
        uint64_t total = 0;
        for (;;) {
            uint64_t produced = 0;
            const auto result = decoder->drain(out.data(), out.size(), &produced);
            total += produced;
            if (result == tolvar::stream::DrainResult::kOutputFull) continue;
            if (fed == in.size()) break;
            uint64_t accepted = 0;
            const size_t n = std::min<size_t>(1024, in.size() - fed);
            decoder->feed(in.data() + fed, n, &accepted);
            fed += accepted;
        }
        benchmark::DoNotOptimize(total);
        if (total != log_data().size()) state.SkipWithError("wrong output size");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * log_data().size()));
    state.counters["ratio"] = static_cast<double>(in.size()) / static_cast<double>(log_data().size());
}
BENCHMARK(BM_LzssDecoder)->Args({10, 4})->Args({12, 4})->Args({12, 6})->Args({13, 5})->Unit(benchmark::kMillisecond);

// The whole opener over an in-memory layer with footer: range, checksum,
// decoder and the copy into the layer's memory.
void BM_OpenCompressed(benchmark::State& state) {
    const unsigned wb = static_cast<unsigned>(state.range(0));
    const unsigned lb = static_cast<unsigned>(state.range(1));
    const Bytes layer = tolvar::test::compressed_layer(payload(wb, lb), {lb, 1u << wb});
    auto source = tolvar::test::memory_of(layer);
    for (auto _ : state) {
        tolvar::stream::ContainerHeader header;
        tolvar::stream::detect_layer_header(source.get(), &header);
        auto decoded = tolvar::stream::open_compressed(source.get(), &header);
        if (!decoded || decoded->seek(0, tolvar::stream::kSeekEnd) != static_cast<int64_t>(log_data().size())) {
            state.SkipWithError("open failed");
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * log_data().size()));
}
BENCHMARK(BM_OpenCompressed)->Args({12, 4})->Args({13, 5})->Unit(benchmark::kMillisecond);

long vm_kib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0) return std::stol(line.substr(length + 1));
    }
    return -1;
}

constexpr const char* kPeakChildVariable = "TOLVAR_LZSS_BENCH_PEAK_FILE";

// Run in a fresh process (this program started again with the layer's path in
// the environment), so that the allocator state of the other benchmarks does
// not decide how the content grows: opens the layer from the file and prints
// the peak resident memory it added and the decoded size, in KiB.
int peak_child(const char* path) {
    {
        std::ofstream reset("/proc/self/clear_refs");
        reset << "5";
    }
    const long base = vm_kib("VmRSS:");
    auto file = tolvar::stream::FileStream::open(path);
    tolvar::stream::ContainerHeader header;
    tolvar::stream::detect_layer_header(file.get(), &header);
    auto decoded = tolvar::stream::open_compressed(file.get(), &header);
    if (!decoded) return 1;
    const long peak = vm_kib("VmHWM:");
    std::printf("%ld %ld\n", peak - base, static_cast<long>(decoded->seek(0, tolvar::stream::kSeekEnd) / 1024));
    return 0;
}

// Peak resident memory added by opening a compressed recording from a file,
// relative to its decoded size, measured in a fresh process.
void BM_OpenCompressedPeakMemory(benchmark::State& state) {
    const Bytes layer = tolvar::test::compressed_layer(payload(12, 4), {4, 1u << 12});
    char path[] = "/tmp/tolvar_lzss_bench_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0 || write(fd, layer.data(), layer.size()) != static_cast<ssize_t>(layer.size())) {
        state.SkipWithError("temporary file");
        return;
    }
    close(fd);
    char self[4096] = {};
    if (readlink("/proc/self/exe", self, sizeof self - 1) <= 0) {
        state.SkipWithError("own path");
        return;
    }
    const std::string command = std::string("exec '") + self + "'";
    setenv(kPeakChildVariable, path, 1);
    long added = 0, decoded = 0;
    for (auto _ : state) {
        FILE* child = popen(command.c_str(), "r");
        if (child == nullptr || std::fscanf(child, "%ld %ld", &added, &decoded) != 2) state.SkipWithError("child");
        if (child != nullptr) pclose(child);
    }
    unsetenv(kPeakChildVariable);
    unlink(path);
    state.counters["peak_over_decoded"] = decoded > 0 ? static_cast<double>(added) / static_cast<double>(decoded) : 0;
    state.counters["decoded_MiB"] = static_cast<double>(decoded) / 1024;
    state.counters["peak_added_MiB"] = static_cast<double>(added) / 1024;
}
BENCHMARK(BM_OpenCompressedPeakMemory)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    if (const char* path = std::getenv(kPeakChildVariable)) return peak_child(path);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
