// Parse rate of recording metadata: a device configuration with many
// properties in trees (keys that share long prefixes, as real ones do).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <string>
#include <vector>

#include "metadata/metadata_reader.h"

namespace {

std::string configuration(int groups, int per_group) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><HDcomment><TX>bench</TX><common_properties>";
    for (int g = 0; g < groups; ++g) {
        text += "<tree name=\"group" + std::to_string(g) + "\">";
        for (int i = 0; i < per_group; ++i) {
            text += "<e name=\"signal" + std::to_string(i) + "\" type=\"integer\" unit=\"ms\" ro=\"true\">" +
                    std::to_string(g * 1000 + i) + "</e>";
        }
        text += "</tree>";
    }
    return text + "</common_properties></HDcomment>";
}

void BM_ReadMetadata(benchmark::State& state) {
    const std::string text = configuration(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
    int64_t properties = 0;
    for (auto _ : state) {
        const auto map = tolvar::metadata::read_metadata(text.data(), text.size());
        properties += map.size();
        benchmark::DoNotOptimize(map.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["properties/s"] = benchmark::Counter(static_cast<double>(properties), benchmark::Counter::kIsRate);
}

// Property names that all give one hash (its word sum does not see the order
// of the words): the worst case for the table's probing.
std::string colliding_configuration(int words) {
    std::vector<std::string> parts;
    for (int i = 0; i < words; ++i) parts.push_back(std::string(8, static_cast<char>('a' + i)));
    std::string text = "<HDcomment><common_properties>";
    do {
        std::string name = "xxxxxx";
        for (const std::string& p : parts) name += p;
        text += "<e name=\"" + name + "\">1</e>";
    } while (std::next_permutation(parts.begin(), parts.end()));
    return text + "</common_properties></HDcomment>";
}

void BM_ReadMetadataCollidingNames(benchmark::State& state) {
    const std::string text = colliding_configuration(static_cast<int>(state.range(0)));
    int64_t properties = 0;
    for (auto _ : state) {
        const auto map = tolvar::metadata::read_metadata(text.data(), text.size());
        properties += map.size();
        benchmark::DoNotOptimize(map.size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["properties/s"] = benchmark::Counter(static_cast<double>(properties), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_ReadMetadataCollidingNames)->Arg(6)->Arg(8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadMetadata)->Args({4, 10})->Args({20, 50})->Args({50, 400})->Args({200, 1000})->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
