#pragma once
// Literal text: the one text form of a value outside JSON. Signed request bytes are the literal
// text of the request mapping, and the backend rebuilds them character for character, so every
// quote, escape and float digit here is fixed. parse_literal (literal_parser.hpp) reads it back.
//
// Forms: mappings {'k': v, ...} in member order, lists [a, b], texts quoted with ' (or " when the
// text holds a ' and no "), integers in decimal, floats in their shortest round-trip digits
// (inf, -inf, nan, -0.0 included), True, False, None. A byte string (a binary value) is written
// b'...' by the same quote and ASCII rules, each byte from 0x80 up as \xhh. Bytes of a text that
// are not UTF-8 are written \udcXX, one per byte: the surrogate that stands for an undecodable
// byte, as in a file name that is not UTF-8.
//
// Pure functions of their arguments: safe from any thread. Nesting depth costs heap, not stack.

#include <string>

#include "velmora/utils/value.hpp"

namespace velmora::utils {

std::string literal_text(const Value& value);

// Appends the literal text of value to out: the form for building one signed buffer.
void append_literal_text(std::string& out, const Value& value);

// How an error's text form shows a value: a text as it stands, anything else as its literal text.
std::string display_text(const Value& value);

}  // namespace velmora::utils
