#include "velmora/boxwright/docker_error.hpp"

#include <cstdio>

#include "velmora/utils/utf8.hpp"

namespace velmora::boxwright {
namespace {

// Stand-in for the literal text of utils, covering the values that build arguments and build logs
// hold: mappings, lists, texts, numbers, booleans and null. Beyond ASCII it escapes only the C1
// controls, U+00A0 and U+00AD; other characters stand as themselves.
void append_literal(std::string& out, const utils::Value& value) {
  switch (value.type()) {
    case utils::Value::value_t::object: {
      out += '{';
      const char* separator = "";
      for (const auto& [key, member] : value.items()) {
        out += separator;
        append_literal(out, key);
        out += ": ";
        append_literal(out, member);
        separator = ", ";
      }
      out += '}';
      return;
    }
    case utils::Value::value_t::array: {
      out += '[';
      const char* separator = "";
      for (const auto& item : value) {
        out += separator;
        append_literal(out, item);
        separator = ", ";
      }
      out += ']';
      return;
    }
    case utils::Value::value_t::string: {
      const auto& text = value.get_ref<const std::string&>();
      const char quote =
          text.find('\'') != std::string::npos && text.find('"') == std::string::npos ? '"' : '\'';
      out += quote;
      std::size_t pos = 0;
      while (pos < text.size()) {
        const std::size_t start = pos;
        const char32_t cp = utils::decode_utf8(text, pos);
        char escape[8];
        if (cp == static_cast<char32_t>(quote) || cp == '\\') {
          out += '\\';
          out += static_cast<char>(cp);
        } else if (cp == '\t') {
          out += "\\t";
        } else if (cp == '\n') {
          out += "\\n";
        } else if (cp == '\r') {
          out += "\\r";
        } else if (cp < 0x20 || (cp >= 0x7F && cp <= 0xA0) || cp == 0xAD) {
          std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(cp));
          out += escape;
        } else {
          out.append(text, start, pos - start);
        }
      }
      out += quote;
      return;
    }
    case utils::Value::value_t::boolean: out += value.get<bool>() ? "True" : "False"; return;
    case utils::Value::value_t::null: out += "None"; return;
    default: out += value.dump(); return;
  }
}

// A value within an error's text form: a text unquoted, anything else as its literal text.
std::string text_of(const utils::Value& value) {
  if (value.is_string()) return value.get<std::string>();
  std::string out;
  append_literal(out, value);
  return out;
}

}  // namespace

ImageBuildError::ImageBuildError(utils::Value build_args, std::string reason,
                                 utils::Value build_log)
    : DockerError("Reason " + reason + "\nBuild Arguments: " + text_of(build_args) +
                  "\nBuild Log: " + text_of(build_log)),
      build_args_(std::move(build_args)),
      reason_(std::move(reason)),
      build_log_(std::move(build_log)) {}

ContainerBuildError::ContainerBuildError(utils::Value build_args)
    : DockerError("Build Arguments: " + text_of(build_args)), build_args_(std::move(build_args)) {}

}  // namespace velmora::boxwright
