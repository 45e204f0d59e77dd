#pragma once
// What the fake backend reads of a package it passes on: the label. A function of the file: safe
// from any thread.

#include <filesystem>

#include "velmora/utils/value.hpp"

namespace velmora::testing {

// The JSON value of the member "label.json" of the zip archive at file; null when the file is no
// zip archive, has no such member or the member is not JSON.
utils::Value package_label(const std::filesystem::path& file);

}  // namespace velmora::testing
