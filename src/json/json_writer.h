// Writing a JsonValue as JSON text.
//
// The one form this program writes: compact (no insignificant white space, no
// line breaks), object members in ascending key order at every level, "/" not
// escaped, quotation mark, backslash and control characters escaped (a line
// feed as \n), every other character as its UTF-8 bytes. Integers in decimal;
// doubles in the shortest form that reads back as the same value; byte data as
// the string "data:<media type or text/plain>;base64,<standard base64>".
// A string that is not valid UTF-8 (which the reader never produces) has each
// malformed byte written as U+FFFD, so the output is always valid JSON.
//
// Thread-safety: stateless; may be called from any number of threads.
#pragma once

#include <stdexcept>
#include <string>

#include "json/json_value.h"

namespace tindrel {

class JsonWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Returns the JSON text of `value`. Throws JsonWriteError when the value holds
// a double that is not finite (infinity or NaN); nothing is returned then.
std::string writeJson(const JsonValue& value);

// Appends the JSON text of `value` to `out`. Throws JsonWriteError as above;
// `out` may then hold a partial text.
void appendJson(std::string& out, const JsonValue& value);

}  // namespace tindrel
