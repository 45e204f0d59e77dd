#pragma once
// The node's logging levels: the table of level names its settings take, and the libraries'
// loggers it holds at WARNING. Safe from any thread.

#include <string_view>

namespace velmora::model {

// The level of a name of the table, written exactly so: "all" 0 (every record), "debug" 10,
// "info" 20, "warning" 30, "error" 40, "critical" 50, "none" 500 (no record of a logger without a
// level of its own). KeyError carrying the name for any other.
int log_level(std::string_view name);

// Sets the loggers "requests", "urllib3" and "docker" to WARNING, so that whatever level is
// configured, their warnings and errors are written and nothing below.
void hold_library_loggers();

}  // namespace velmora::model
