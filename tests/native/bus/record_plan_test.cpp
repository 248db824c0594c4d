// The record count a recording states for the groups its walk reads.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bus/record_plan.h"

namespace tolvar::bus {
namespace {

// One plan per list of record groups; a negative count marks a VLSD group
// holding that many records.
std::vector<GroupPlan> plans_of(const std::vector<std::vector<int64_t>>& groups_per_plan,
                                uint64_t huge = 0) {
    std::vector<GroupPlan> plans;
    for (const std::vector<int64_t>& counts : groups_per_plan) {
        GroupPlan plan;
        for (int64_t count : counts) {
            RecordGroup group;
            group.record_length = count < 0 ? RecordGroup::kVariableLength : 8;
            group.cycle_count = count == INT64_MAX ? huge : static_cast<uint64_t>(count < 0 ? -count : count);
            plan.record_groups.push_back(group);
        }
        plans.push_back(std::move(plan));
    }
    return plans;
}

struct CountCase {
    const char* name;
    std::vector<std::vector<int64_t>> groups;
    uint64_t huge;
    uint64_t expected;
};

class StatedRecordCountTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(StatedRecordCountTest, SumsTheCountsOfTheWalkedGroups) {
    EXPECT_EQ(stated_record_count(plans_of(GetParam().groups, GetParam().huge)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Plans, StatedRecordCountTest,
    ::testing::Values(CountCase{"NoPlans", {}, 0, 0},
                      CountCase{"EmptyPlans", {{}, {}}, 0, 0},
                      CountCase{"OneGroup", {{7}}, 0, 7},
                      CountCase{"GroupsOfSeveralPlans", {{3, 4}, {}, {10}}, 0, 17},
                      CountCase{"VlsdGroupsAreNotCounted", {{5, -5}, {-9}}, 0, 5},
                      CountCase{"AHugeCountSaturates", {{INT64_MAX, 2}, {INT64_MAX}}, UINT64_MAX - 1, UINT64_MAX},
                      CountCase{"ExactlyTheLargestCount", {{INT64_MAX, 1}}, UINT64_MAX - 1, UINT64_MAX}),
    [](const ::testing::TestParamInfo<CountCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tolvar::bus
