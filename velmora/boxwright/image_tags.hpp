#pragma once
// Image tags made from a job's name and version: "<name part>:<version part>", each part cut down
// to what the engine accepts. Plain functions of text; any thread may call them.

#include <cstddef>
#include <string>
#include <string_view>

namespace velmora::boxwright {

// The longest version part accepted.
inline constexpr std::size_t MAX_CHARS = 128;

// name lower-cased; only a-z, 0-9, ".", "_" and "-" kept; runs of "." shrunk to one and runs of
// three or more "_" to two; ".", "_" and "-" trimmed from both ends. May be empty.
std::string sanitize_name(std::string_view name);

// version with only ASCII letters, digits, "_", "." and "-" kept and leading "." and "-"
// stripped. Throws RuntimeError "Image tag exceeds character limit (128)" when more than
// MAX_CHARS remain. May be empty.
std::string sanitize_version(std::string_view version);

// sanitize_name(name) + ":" + sanitize_version(version); the name part is made first.
std::string sanitize_tag(std::string_view name, std::string_view version);

}  // namespace velmora::boxwright
