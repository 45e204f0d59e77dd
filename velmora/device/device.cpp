#include "velmora/device/device.hpp"

#include "velmora/utils/text/literal_parser.hpp"

namespace velmora::device {

Value Device::info() const { return utils::parse_literal(*profile_text_); }

}  // namespace velmora::device
