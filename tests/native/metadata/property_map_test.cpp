#include "metadata/property_map.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "metadata/slot_order_model.h"

namespace {

using tolvar::metadata::control_byte;
using tolvar::metadata::property_hash;
using tolvar::metadata::PropertyMap;
using tolvar::metadata::PropertyNode;

std::vector<std::string> keys_of(const PropertyMap& map) {
    std::vector<std::string> keys;
    for (const PropertyMap::Entry& entry : map) keys.push_back(entry.key);
    return keys;
}

PropertyNode* insert(PropertyMap& map, const std::string& key) {
    bool inserted = false;
    PropertyNode* node = map.find_or_insert(key, &inserted);
    EXPECT_TRUE(inserted) << key;
    return node;
}

struct HashCase {
    std::string key;
    uint64_t hash;
};

class PropertyHash : public testing::TestWithParam<HashCase> {};

TEST_P(PropertyHash, MatchesKnownValue) {
    const HashCase& c = GetParam();
    EXPECT_EQ(property_hash(c.key), c.hash) << c.key;
    EXPECT_EQ(property_hash(c.key), slot_order_model::hash(c.key)) << c.key;
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, PropertyHash,
    testing::Values(HashCase{"", 1},
                    // 4 bytes: one 32-bit word times the multiplier, no rotation.
                    HashCase{"name", 0x3B36C0A7668FDE76ull},
                    // 8 bytes: one 64-bit word times the multiplier.
                    HashCase{"abcdefgh", 0x6867666564636261ull * 0xC6A4A7935BD1E99Dull},
                    // 12 bytes: first byte, one whole word, four trailing bytes, rotation.
                    HashCase{"log.interval", 0x9E1C1BA0B2F3FB98ull}));

TEST(PropertyHash, NameHasDocumentedLowBitsAndControlByte) {
    const uint64_t h = property_hash("name");
    EXPECT_EQ(static_cast<uint32_t>(h), 1720704630u);
    EXPECT_EQ(control_byte(h), 0xF6);
    EXPECT_EQ(static_cast<uint32_t>(property_hash("log.interval")), 3002334104u);
    EXPECT_EQ(control_byte(property_hash("log.interval")), 0x98);
}

TEST(PropertyHash, BytesAboveAsciiAreUnsigned) {
    // A signed first or trailing byte would change every one of these.
    for (const std::string& key : std::vector<std::string>{"\xC3\xA9t\xC3\xA9", "\xFF", "\xE2\x82\xAC.value.\xF0\x9F\x9A\x97x",
                                  std::string("\x80\x81\x82\x83\x84\x85\x86\x87\x88", 9)}) {
        EXPECT_EQ(property_hash(key), slot_order_model::hash(key));
    }
}

TEST(PropertyMap, NewMapIsEmptyAndIteratesNothing) {
    PropertyMap map;
    EXPECT_EQ(map.size(), 0);
    EXPECT_EQ(map.capacity(), 0);
    EXPECT_EQ(map.control(), nullptr);
    EXPECT_EQ(map.begin(), map.end());
    EXPECT_EQ(map.find("name"), nullptr);
}

TEST(PropertyMap, FirstInsertionMakesFiveSlotsWithControlByteAndSentinel) {
    PropertyMap map;
    insert(map, "name");
    ASSERT_EQ(map.capacity(), 5);
    // Home slot (5 * 1720704630) >> 32 = 2.
    const uint8_t* control = map.control();
    EXPECT_EQ(control[0], 0);
    EXPECT_EQ(control[1], 0);
    EXPECT_EQ(control[2], 0xF6);
    EXPECT_EQ(control[3], 0);
    EXPECT_EQ(control[4], 0);
    EXPECT_EQ(control[5], 0xFF);
    ASSERT_NE(map.slot(2), nullptr);
    EXPECT_EQ(map.slot(2)->key, "name");
}

TEST(PropertyMap, CapacityFollowsGrowthRule) {
    // Capacity after the n-th insertion. 45 at the 24th needs 34 / 0.85 in
    // single precision (40, where a double division by 0.85f gives 39).
    const std::vector<std::pair<int, int>> steps = {{1, 5},   {4, 5},   {5, 11},  {8, 11},  {9, 19},
                                                    {15, 19}, {16, 29}, {23, 29}, {24, 45}, {37, 45},
                                                    {38, 69}, {57, 69}, {58, 105}};
    PropertyMap map;
    int n = 0;
    for (const auto& [count, capacity] : steps) {
        while (n < count) insert(map, "key" + std::to_string(n++));
        EXPECT_EQ(map.capacity(), capacity) << "after " << count << " insertions";
        EXPECT_EQ(map.size(), count);
    }
}

TEST(PropertyMap, LookupOfPresentKeyAtThresholdStillGrows) {
    PropertyMap map;
    for (const char* key : {"a", "b", "c", "d"}) insert(map, key);
    ASSERT_EQ(map.capacity(), 5);
    bool inserted = true;
    ASSERT_NE(map.find_or_insert("a", &inserted), nullptr);
    EXPECT_FALSE(inserted);
    EXPECT_EQ(map.capacity(), 11);
    EXPECT_EQ(map.size(), 4);
    // A plain find never grows.
    PropertyMap other;
    for (const char* key : {"a", "b", "c", "d"}) insert(other, key);
    EXPECT_NE(other.find("a"), nullptr);
    EXPECT_EQ(other.capacity(), 5);
}

TEST(PropertyMap, FindOrInsertReturnsTheExistingNode) {
    PropertyMap map;
    insert(map, "R.A.B")->value = "42";
    bool inserted = true;
    PropertyNode* again = map.find_or_insert("R.A.B", &inserted);
    ASSERT_NE(again, nullptr);
    EXPECT_FALSE(inserted);
    EXPECT_EQ(again->value, "42");
    EXPECT_EQ(map.size(), 1);
}

TEST(PropertyMap, GrowthKeepsEveryNode) {
    PropertyMap map;
    for (int i = 0; i < 500; ++i) insert(map, "p" + std::to_string(i))->value = std::to_string(i * 7);
    ASSERT_EQ(map.size(), 500);
    for (int i = 0; i < 500; ++i) {
        const PropertyNode* node = map.find("p" + std::to_string(i));
        ASSERT_NE(node, nullptr) << i;
        EXPECT_EQ(node->value, std::to_string(i * 7));
    }
    int occupied = 0;
    for (int i = 0; i < map.capacity(); ++i) {
        if (map.control()[i] == 0) continue;
        ++occupied;
        EXPECT_EQ(map.control()[i], control_byte(property_hash(map.slot(i)->key)));
    }
    EXPECT_EQ(occupied, 500);
    EXPECT_EQ(map.control()[map.capacity()], 0xFF);
}

TEST(PropertyMap, IteratesInSlotOrderOfIndependentModel) {
    // Keys that collide on home slots and wrap around the end of the table.
    std::vector<std::string> paths;
    for (int i = 0; i < 200; ++i) paths.push_back("HDcomment.tree" + std::to_string(i % 13) + ".e" + std::to_string(i));
    for (int i = 0; i < 40; ++i) paths.push_back(paths[i * 3]);  // repeated lookups
    size_t capacity = 0;
    const std::vector<std::string> expected = slot_order_model::order(paths, &capacity);

    PropertyMap map;
    for (const std::string& p : paths) {
        bool inserted = false;
        ASSERT_NE(map.find_or_insert(p, &inserted), nullptr);
    }
    EXPECT_EQ(static_cast<size_t>(map.capacity()), capacity);
    EXPECT_EQ(keys_of(map), expected);
}

TEST(PropertyMap, KeysWithOneHashFormOneRunThatWraps) {
    // The hash adds whole words, so permuting the words after the first one
    // gives one hash for all 720 keys: one long run from their home slot,
    // wrapping past the end of the table.
    std::vector<std::string> words = {"aaaaaaaa", "bbbbbbbb", "cccccccc", "dddddddd", "eeeeeeee", "ffffffff"};
    std::vector<std::string> paths;
    do {
        std::string key = "R.common";
        for (const std::string& w : words) key += w;
        paths.push_back(key + "xyz");
    } while (std::next_permutation(words.begin(), words.end()));
    ASSERT_EQ(paths.size(), 720u);
    EXPECT_EQ(property_hash(paths.front()), property_hash(paths.back()));
    for (int i = 0; i < 100; ++i) paths.push_back("R.other" + std::to_string(i));
    paths.push_back(paths[5]);

    PropertyMap map;
    for (const std::string& p : paths) {
        bool inserted = false;
        ASSERT_NE(map.find_or_insert(p, &inserted), nullptr);
    }
    EXPECT_EQ(map.size(), 820);
    EXPECT_EQ(keys_of(map), slot_order_model::order(paths));
}

TEST(PropertyMap, SixKeysSitInElevenSlotsOutOfInsertionOrder) {
    const std::vector<std::string> paths = {"R.b", "R.a", "R.c", "R.e", "R.d", "R.f"};
    PropertyMap map;
    for (const std::string& p : paths) insert(map, p);
    EXPECT_EQ(map.capacity(), 11);
    EXPECT_EQ(keys_of(map), slot_order_model::order(paths));
}

TEST(PropertyMap, ClearMakesItNewAgain) {
    PropertyMap map;
    for (int i = 0; i < 10; ++i) insert(map, std::to_string(i));
    map.clear();
    EXPECT_EQ(map.size(), 0);
    EXPECT_EQ(map.capacity(), 0);
    EXPECT_EQ(map.begin(), map.end());
    insert(map, "name");
    EXPECT_EQ(map.capacity(), 5);
}

TEST(PropertyMap, EmptyKeyIsAKeyLikeAnyOther) {
    PropertyMap map;
    insert(map, "");
    insert(map, "x");
    EXPECT_NE(map.find(""), nullptr);
    EXPECT_EQ(map.size(), 2);
}

}  // namespace
