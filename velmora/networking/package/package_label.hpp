#pragma once
// The label of a package: how a sent one is made, and how a received "label.json" is read. Pure
// functions: safe from any thread.

#include <optional>
#include <string>
#include <string_view>

#include "velmora/utils/value.hpp"

namespace velmora::networking::package {

// "origin", "dest", "subject" (null for none), "sent_time", then the members of labels (a
// mapping) in their order; a member named like one of the first four replaces that value in its
// place.
utils::Value make_label(const std::string& origin, const std::optional<std::string>& dest,
                        const std::optional<std::string>& subject, const std::string& sent_time,
                        const utils::Value& labels);

// A clock reading in seconds as "sent_time" gives it: the shortest digits that read back to the
// same double, in fixed notation, always with a point and a digit after it ("1700000000.0").
std::string sent_time_text(double seconds);

// The value of a received label file: JSON text in UTF-8 (a byte-order mark allowed), UTF-16 or
// UTF-32, the encoding recognised by its first bytes. ValueError for text that cannot be decoded
// or is no JSON.
utils::Value read_label(std::string_view bytes);

}  // namespace velmora::networking::package
