#pragma once
// Reading the record a fake backend keeps in a folder (FakeBackend::record_to), from another
// process: the requests it took and the packages it passed on, in order. A line still being
// written is left for the next read. Functions of the folder: safe from any thread.

#include <filesystem>
#include <string>
#include <vector>

#include "testing/fake_https_server.hpp"

namespace velmora::testing {

// A package one device sent to another, or a log it uploaded, as the backend kept it.
struct RecordedPackage {
  std::string from;  // the sender's device id text
  std::string to;
  std::string filename;
  std::filesystem::path file;  // the backend's copy of the package file
};

// The requests recorded in folder (method, path and body; no headers).
std::vector<RecordedRequest> recorded_requests(const std::filesystem::path& folder);
std::vector<RecordedPackage> recorded_packages(const std::filesystem::path& folder);
// The logs devices uploaded, "to" empty, each file in the backend's storage (it is there once
// the upload has been answered).
std::vector<RecordedPackage> recorded_logs(const std::filesystem::path& folder);

}  // namespace velmora::testing
