// Whole recordings opened as a document and walked group by group: built
// bytes, and every recording of the test writer against what it expects.
#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bus/record_iterator.h"
#include "bus/record_plan.h"
#include "bus_bytes.h"
#include "mdf/channel_group_block.h"
#include "mdf/mdf_document.h"
#include "stream/file_stream.h"

namespace tolvar::bus {
namespace {

using test::BusBytes;
using test::Bytes;
using test::Cn;

std::vector<Cn> can_channels(uint8_t cn_type = 0, uint64_t data = 0) {
    Cn bytes{"CAN_DataFrame.DataBytes", 3, 0, 64, test::kByteArray, cn_type};
    bytes.data = data;
    return {{"Timestamp", 0, 0, 8}, {"CAN_DataFrame.ID", 1, 0, 8}, {"CAN_DataFrame.DataLength", 2, 0, 8}, bytes};
}

void link_header(BusBytes& file, uint64_t first_dg, uint64_t first_fh) {
    file.set_link(64, 0, first_dg);
    file.set_link(64, 1, first_fh);
}

std::vector<std::vector<double>> walk_document(const BusBytes& file) {
    auto stream = file.stream();
    std::unique_ptr<mdf::MdfDocument> document = mdf::MdfDocument::open(stream.get());
    EXPECT_NE(document, nullptr);
    std::vector<std::vector<double>> groups;
    if (document == nullptr) return groups;
    std::optional<std::vector<GroupPlan>> plans = build_plans(*document);
    EXPECT_TRUE(plans.has_value());
    if (!plans) return groups;
    for (const GroupPlan& plan : *plans) {
        std::optional<RecordIterator> it = RecordIterator::create(&plan, 0.0);
        std::vector<double> times;
        for (WalkStep step = it->first(); step != WalkStep::kEnd; step = it->advance()) {
            EXPECT_EQ(step, WalkStep::kFrame);
            EXPECT_EQ(kind_of(it->current().frame), FrameKind::kCanDataFrame);
            times.push_back(it->current().frame.timestamp);
        }
        groups.push_back(times);
    }
    return groups;
}

TEST(DocumentWalkTest, WalksEveryDataGroupOfARecording) {
    BusBytes file;
    file.hd();  // at offset 64, before everything else
    const uint64_t fh = file.fh(0, file.tool_comment());
    const uint64_t cg2 = file.cg(file.channels(can_channels()), 0, 11, 0, file.bus_source());
    const uint64_t dg2 = file.dg(cg2, file.dt(Bytes().u8(5).u8(1).u8(0).u64(0).u8(6).u8(1).u8(0).u64(0).bytes), 0);
    const uint64_t cg1 = file.cg(file.channels(can_channels()), 1, 11, 0, file.bus_source());
    const uint64_t dg1 = file.dg(cg1, file.dt(Bytes().u8(1).u8(1).u8(1).u8(0).u64(0).bytes), 1, dg2);
    link_header(file, dg1, fh);
    EXPECT_EQ(walk_document(file), (std::vector<std::vector<double>>{{1}, {5, 6}}));
}

// An unfinalised recording: the last data block's length was never written,
// and the recording stopped in the middle of its last frame.
TEST(DocumentWalkTest, AnUnfinalisedRecordingEndsAfterItsLastCompleteFrame) {
    for (size_t cut : {0u, 1u, 6u, 11u}) {
        BusBytes file;
        file.id("UnFinMF ", 0x0004);
        file.hd();
        const uint64_t fh = file.fh(0, file.tool_comment());
        const uint64_t cg = file.cg(file.channels(can_channels()), 0, 11, 0, file.bus_source());
        Bytes records;
        for (uint8_t t = 1; t <= 3; ++t) records.u8(t).u8(2).u8(8).u64(0x0807060504030201u);
        records.bytes.resize(records.bytes.size() - 11 + cut);  // the third frame keeps `cut` bytes
        const uint64_t dg = file.dg(cg, 0, 0);
        link_header(file, dg, fh);
        const uint64_t dt = file.dt(records.bytes, 24);
        file.set_link(dg, 2, dt);
        const std::vector<double> expected = cut == 11 ? std::vector<double>{1, 2, 3} : std::vector<double>{1, 2};
        EXPECT_EQ(walk_document(file), (std::vector<std::vector<double>>{expected})) << cut;
    }
}

TEST(DocumentWalkTest, AnUnfinalisedRecordingCutInAVlsdValueEndsBeforeThatFrame) {
    for (size_t cut : {0u, 1u, 4u, 6u, 7u}) {
        BusBytes file;
        file.id("UnFinMF ", 0x0004);
        file.hd();
        const uint64_t fh = file.fh(0, file.tool_comment());
        const uint64_t vlsd = file.cg(0, 2, 0, 0, 0, mdf::CgBlock::kFlagVlsd);
        const uint64_t cg = file.cg(file.channels(can_channels(1, vlsd)), 1, 11, 0, file.bus_source(), 0, vlsd);
        Bytes records;
        for (uint8_t t = 1; t <= 3; ++t) records.u8(1).u8(t).u8(2).u8(2).u64(0).u8(2).u32(2).u8(0xAA).u8(0xBB);
        records.bytes.resize(records.bytes.size() - 7 + cut);  // the third value keeps `cut` of its 7 bytes
        const uint64_t dg = file.dg(cg, 0, 1);
        link_header(file, dg, fh);
        const uint64_t dt = file.dt(records.bytes, 24);
        file.set_link(dg, 2, dt);
        const std::vector<double> expected = cut == 7 ? std::vector<double>{1, 2, 3} : std::vector<double>{1, 2};
        EXPECT_EQ(walk_document(file), (std::vector<std::vector<double>>{expected})) << cut;
    }
}

// --- the recordings of the test writer
//
// tests/make_recordings.py writes its named recordings into the folder that
// TOLVAR_RECORDINGS names: NAME.mf4, and beside it NAME.frames.json with
// what a reader must make of it ("opens", and per data group every record's
// message: "kind" null for a record that gives no frame, "timestamp" as
// start time plus the record's time, "data" in hex).

// One record as the test compares it: its kind, and for a frame its
// timestamp and the payload of a data or LIN frame in hex.
struct Record {
    std::string kind;
    double timestamp = 0;
    std::string data;
    bool operator==(const Record& o) const {
        return kind == o.kind && (kind == "null" || (timestamp == o.timestamp && data == o.data));
    }
};

std::ostream& operator<<(std::ostream& out, const Record& r) {
    char time[32];
    std::snprintf(time, sizeof time, "%.17g", r.timestamp);
    return out << r.kind << ' ' << time << ' ' << r.data;
}

using Reading = std::vector<std::vector<Record>>;

struct Expectation {
    bool opens = false;
    Reading groups;
};

// The text of member `name` of a flat JSON object as json.dump writes it
// ("name": value): a string without its quotes, or a number or null as is.
std::string json_member(const std::string& object, const std::string& name) {
    const std::string key = "\"" + name + "\": ";
    const size_t at = object.find(key);
    if (at == std::string::npos) return "";
    size_t begin = at + key.size();
    if (object[begin] == '"') return object.substr(begin + 1, object.find('"', begin + 1) - begin - 1);
    return object.substr(begin, object.find_first_of(",\n}", begin) - begin);
}

// Reads NAME.frames.json: an array of groups, each an array of flat objects.
Expectation read_expectation(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string json = text.str();
    Expectation expected;
    expected.opens = json.find("\"opens\": true") != std::string::npos;
    size_t at = json.find("\"groups\": [");
    if (!expected.opens || at == std::string::npos) return expected;
    int depth = 0;
    for (at = json.find('[', at); at < json.size(); ++at) {
        const char c = json[at];
        if (c == '[' && ++depth == 2) expected.groups.emplace_back();
        if (c == ']' && --depth == 0) break;
        if (c == '{') {
            const size_t end = json.find('}', at);
            const std::string object = json.substr(at, end - at);
            const std::string kind = json_member(object, "kind");
            const std::string time = json_member(object, "timestamp");
            Record r{kind, kind == "null" ? 0 : std::strtod(time.c_str(), nullptr), ""};
            if (kind == "data" || kind == "lin") r.data = json_member(object, "data");
            expected.groups.back().push_back(r);
            at = end;
        }
    }
    return expected;
}

// The record a walk's step gave, as the expectation names it.
Record record_of(const RecordIterator& it, WalkStep step) {
    static const char* const kKinds[] = {"null", "data", "remote", "error", "lin"};
    if (step == WalkStep::kNoFrame) return Record{kKinds[0], 0, ""};
    const Frame& frame = it.current().frame;
    const FrameKind kind = kind_of(frame);
    Record r{kKinds[static_cast<int>(kind)], frame.timestamp, ""};
    if (kind == FrameKind::kCanDataFrame || kind == FrameKind::kLinFrame) {
        static const char kHex[] = "0123456789abcdef";
        const uint8_t* data = it.current().payload;
        for (uint64_t i = 0; i < payload_length(frame); ++i) {
            r.data += kHex[data[i] >> 4];
            r.data += kHex[data[i] & 15];
        }
    }
    return r;
}

// Every record of every data group, each group walked from its first record.
Reading walk_plans(const std::vector<GroupPlan>& plans, double start) {
    Reading reading;
    for (const GroupPlan& plan : plans) {
        std::vector<Record> records;
        std::optional<RecordIterator> it = RecordIterator::create(&plan, start);
        if (it) {
            for (WalkStep step = it->first(); step != WalkStep::kEnd; step = it->advance()) {
                records.push_back(record_of(*it, step));
            }
        }
        reading.push_back(std::move(records));
    }
    return reading;
}

// Equal readings, or the first group and record where they differ.
::testing::AssertionResult same_reading(const Reading& got, const Reading& want) {
    if (got.size() != want.size()) {
        return ::testing::AssertionFailure() << got.size() << " data groups, expected " << want.size();
    }
    for (size_t g = 0; g < got.size(); ++g) {
        for (size_t i = 0; i < std::max(got[g].size(), want[g].size()); ++i) {
            if (i >= got[g].size() || i >= want[g].size()) {
                return ::testing::AssertionFailure() << "data group " << g << ": " << got[g].size()
                                                     << " records, expected " << want[g].size();
            }
            if (!(got[g][i] == want[g][i])) {
                return ::testing::AssertionFailure() << "data group " << g << " record " << i << ": " << got[g][i]
                                                     << ", expected " << want[g][i];
            }
        }
    }
    return ::testing::AssertionSuccess();
}

// The recordings in the folder that have an expectation beside them.
std::vector<std::string> recording_names(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return names;
    const std::string suffix = ".frames.json";
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
            names.push_back(name.substr(0, name.size() - suffix.size()));
        }
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

TEST(DocumentWalkTest, EveryRecordingOfTheTestWriterReadsAsItExpects) {
    const char* folder = std::getenv("TOLVAR_RECORDINGS");
    if (folder == nullptr || *folder == '\0') GTEST_SKIP() << "TOLVAR_RECORDINGS is not set";
    test::LogCapture log;  // the broken recordings say why they do not open
    size_t sound = 0;
    size_t broken = 0;
    for (const std::string& name : recording_names(folder)) {
        SCOPED_TRACE(name);
        const std::string base = std::string(folder) + "/" + name;
        const Expectation expected = read_expectation(base + ".frames.json");
        auto input = stream::FileStream::open((base + ".mf4").c_str());
        ASSERT_NE(input, nullptr);
        std::unique_ptr<mdf::MdfDocument> document = mdf::MdfDocument::open(input.get());
        std::optional<std::vector<GroupPlan>> plans;
        if (document != nullptr) plans = build_plans(*document);
        EXPECT_EQ(plans.has_value(), expected.opens);
        if (!plans || !expected.opens) {
            broken += plans ? 0 : 1;
            continue;
        }
        ++sound;
        const Reading first = walk_plans(*plans, document->start_time());
        EXPECT_TRUE(same_reading(first, expected.groups));
        // A second walk starts wherever the first left every data section.
        EXPECT_TRUE(same_reading(walk_plans(*plans, document->start_time()), first));
    }
    EXPECT_GE(sound, 17u);
    EXPECT_GE(broken, 20u);
}

}  // namespace
}  // namespace tolvar::bus
