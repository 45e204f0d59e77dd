#pragma once
// An action endpoint: one row of its group's table that names the route's handler, the body
// pairs, the operation of the node object and the two messages. It reduces the request's body to
// the pairs, calls the operation with the values in pair order and answers (the operation's
// result, 0, the first message when it is true, else the second): a refusal is answered with
// code 0 too, and only the flag and the message tell it.

#include <array>
#include <stdexcept>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "velmora/daemon/endpoints/endpoint.hpp"
#include "velmora/daemon/server/request_json.hpp"
#include "velmora/daemon/validate_data.hpp"
#include "velmora/model/velmora.hpp"
#include "velmora/utils/bytes.hpp"
#include "velmora/utils/result_json.hpp"
#include "velmora/utils/value.hpp"

namespace velmora::daemon {

// What an operation's parameter takes from the reduced body: a text pair gives text, or a device
// id as bytes (s2b of the text, which may refuse it); a truth pair gives bool.
template <class Parameter>
struct BodyArgument;

template <>
struct BodyArgument<std::string> {
  static constexpr Conversion conversion = Conversion::text;
  static std::string from(const utils::Value& value) { return value.get<std::string>(); }
};

template <>
struct BodyArgument<utils::Bytes> {
  static constexpr Conversion conversion = Conversion::text;
  static utils::Bytes from(const utils::Value& value) {
    return utils::s2b(value.get_ref<const std::string&>());
  }
};

template <>
struct BodyArgument<bool> {
  static constexpr Conversion conversion = Conversion::truth;
  static bool from(const utils::Value& value) { return value.get<bool>(); }
};

// The row of the action handler. operation takes one parameter per pair, in pair order, each of
// the kind its pair gives (BodyArgument). Throws std::logic_error when they do not match.
template <class... Parameters>
EndpointRow action(std::string_view handler, std::vector<RequiredKey> body,
                   bool (model::Velmora::*operation)(Parameters...), std::string_view if_true,
                   std::string_view if_false) {
  constexpr std::array<Conversion, sizeof...(Parameters)> taken{
      BodyArgument<std::remove_cvref_t<Parameters>>::conversion...};
  bool matches = body.size() == taken.size();
  for (std::size_t i = 0; matches && i < taken.size(); ++i)
    matches = body[i].conversion == taken[i];
  if (!matches)
    throw std::logic_error("the body pairs of " + std::string(handler) +
                           " do not match its operation's parameters");

  return {handler, [body = std::move(body), operation, if_true, if_false](
                       model::Velmora& gobj, const ApiRequest& request) {
            const utils::Value data = validate_data(request_json(request), body);
            auto value = data.begin();  // the pairs' values, in pair order
            // A braced list is evaluated in order: each argument takes the next value.
            std::tuple<std::remove_cvref_t<Parameters>...> arguments{
                BodyArgument<std::remove_cvref_t<Parameters>>::from(*value++)...};
            const bool result = std::apply(
                [&](const auto&... argument) { return (gobj.*operation)(argument...); }, arguments);
            return utils::string_to_result_json(result, 0, result ? if_true : if_false);
          }};
}

}  // namespace velmora::daemon
