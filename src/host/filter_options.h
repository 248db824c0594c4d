// The reader's filter keywords (can_filters, channels, start, stop) checked
// and turned into the walk's FrameFilter. Borrows the keyword values; the
// options own what they were turned into.
#pragma once

#include <Python.h>

#include <bitset>
#include <memory>
#include <vector>

#include "bus/frame.h"
#include "bus/frame_filter.h"

namespace tolvar::host {

struct OpenRecording;

struct FilterOptions {
    bool by_id = false;
    std::vector<bus::IdFilter> ids;
    bool by_channel = false;
    std::bitset<bus::kChannelCount> channels;
    bool has_window = false;
    double start = 0.0;  // -inf when not given
    double stop = 0.0;   // +inf when not given

    bool any() const { return by_id || by_channel || has_window; }
};

// Reads the keywords from the caller's keyword dict (null: none given).
// False with TypeError or ValueError naming the argument for a bad value.
bool parse_filter_options(PyObject* kwargs, FilterOptions& options);

// The filter of the options; null when they filter nothing (or memory runs
// out, with MemoryError set).
std::unique_ptr<bus::FrameFilter> make_filter(const FilterOptions& options);

// The keywords of a reader's _select(): the filter keywords alone, read as
// the initialiser reads them. False with TypeError for any other keyword.
bool parse_selection(PyObject* kwargs, FilterOptions& options);

// Gives the recording the filter of the options. The filter it had stays
// aside for the walks that began with it. False with an exception set.
bool replace_filter(const FilterOptions& options, OpenRecording& recording);

}  // namespace tolvar::host
