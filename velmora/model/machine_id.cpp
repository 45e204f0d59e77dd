#include "velmora/model/machine_id.hpp"

#include <cctype>
#include <string>

#include "velmora/job/job.hpp"
#include "velmora/utils/error.hpp"

namespace velmora::model {
namespace {

constexpr std::size_t kUuidTextSize = 36;

bool is_dash_position(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

}  // namespace

utils::Bytes new_machine_id() {
  // A job id is the 32 digits of a random version 4 UUID: the same digits, grouped.
  const std::string digits = job::Job::_make_id();
  std::string text;
  text.reserve(kUuidTextSize);
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i == 8 || i == 12 || i == 16 || i == 20) text.push_back('-');
    text.push_back(digits[i]);
  }
  return utils::Bytes(std::move(text));
}

void check_machine_id(const utils::Bytes& id, const std::filesystem::path& file) {
  bool valid = id.size() == kUuidTextSize;
  for (std::size_t i = 0; valid && i < id.size(); ++i) {
    const unsigned char c = id.bytes()[i];
    valid = is_dash_position(i) ? c == '-' : std::isxdigit(c) != 0;
  }
  if (!valid)
    throw utils::ValueError("machine id file '" + file.string() +
                            "' does not hold the text of a UUID");
}

}  // namespace velmora::model
