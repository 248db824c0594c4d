// The record plans of an input for the fuzz targets that walk records: the
// blocks parsed from `first` as the reader parses them, with or without
// any_writer, and a plan for every data group that has one. The blocks live
// as long as the plans that point into them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "bus/record_plan.h"
#include "mdf/block_cache.h"
#include "mdf/data_group_block.h"
#include "stream/memory_stream.h"

struct FuzzPlans {
    tolvar::mdf::BlockList groups;
    std::vector<tolvar::bus::GroupPlan> plans;
};

// Empty when the blocks do not parse.
inline FuzzPlans plans_of(tolvar::stream::MemoryStream& stream, uint64_t first, size_t size, bool any_writer) {
    FuzzPlans out;
    {
        tolvar::mdf::ParseOptions options;
        options.any_writer = any_writer;
        tolvar::mdf::BlockCache cache(options);
        if (!tolvar::mdf::parse_block_into(stream, first, cache, &out.groups)) return FuzzPlans{};
    }
    size_t index = 0;
    for (const tolvar::mdf::BlockRef& ref : out.groups) {
        const auto* group = tolvar::mdf::as<tolvar::mdf::DgBlock>(ref);
        if (group == nullptr) continue;
        std::optional<tolvar::bus::GroupPlan> plan =
            any_writer ? tolvar::bus::GroupPlan::build_standard(*group, ++index, static_cast<int64_t>(size))
                       : tolvar::bus::GroupPlan::build(*group);
        if (plan) out.plans.push_back(std::move(*plan));
    }
    return out;
}
