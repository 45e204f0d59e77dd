#pragma once
// What an exited container leaves behind, gathered into one container results folder that
// travels to the job's owner: "output.log", the container's output (both streams, as written,
// without framing), "filesys", what the container added, each at its path inside the container
// (on a Windows engine also its changed data files), and, when they are incomplete,
// kIncompleteFile saying why. Any thread may call it; calls share nothing.

#include <filesystem>
#include <string_view>

#include "velmora/boxwright/engine_objects.hpp"
#include "velmora/boxwright/results/result_bounds.hpp"

namespace velmora::boxwright {

// Where incomplete results say why: one line for each reason.
inline constexpr std::string_view kIncompleteFile = "incomplete.txt";

// Makes the folder dest_dir/<cntr.name> (dest_dir must exist, the folder must not), writes
// "output.log" and "filesys" into it and answers its path. The log and every archive are streamed
// to disk, never held whole. Archives come from a friend's job and are hostile: only folders and
// regular files are written, only inside "filesys" (archive_extraction.hpp); what is left out is
// logged as a warning. A path that cannot be collected is logged as "Could not extract file: %s"
// and skipped. A path inside a folder already collected whole is not fetched again.
//
// What is collected is held to bounds (result_bounds.hpp): past its bytes or entries collection
// stops (a path too deep or too long is left out). Results that stop so, and results without a
// change list because the engine could not give one, are told in a warning (an error for the
// change list) and in a line of kIncompleteFile in the folder; what was collected is answered.
//
// Throws ValueError when cntr.name cannot name a folder; OSError when the folder exists, dest_dir
// does not, or a file cannot be written; what the engine throws for the log or its information
// (KeyError without "OSType"); KeyError or ValueError for a change-list entry without a "Path"
// or "Kind". What was made before a failure stays; the caller owns it. An engine that is neither
// "linux" nor "windows" yields "output.log" and an empty "filesys", with a warning.
std::filesystem::path collect_results(const Container& cntr, const std::filesystem::path& dest_dir,
                                      const ResultBounds& bounds = {});

}  // namespace velmora::boxwright
