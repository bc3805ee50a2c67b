// Reading JSON text into a JsonValue.
//
// Rules, value by value: null, true and false as themselves (a number is never
// a boolean); a number without fraction or exponent that fits in signed 64 bits
// is an integer, every other number a double (numbers too large for a double
// read as infinity, which the writer then refuses); a string that as a whole is
// a data URL ("data:[<media type>][;base64],<payload>" whose payload decodes)
// is byte data, every other string a string; arrays and objects member by
// member. A repeated object key keeps its last value.
//
// Invalid JSON is refused: malformed syntax, invalid UTF-8 (including escaped
// lone surrogates), anything but white space after the value, and nesting
// deeper than kMaxJsonDepth arrays and objects.
//
// The data-URL rule is meant for values the program takes as free JSON (tool
// arguments, the app's answers). A protocol message's own members (its id,
// its method) are plain strings whatever they hold, so such a message is read
// with DataUrls::asStrings and the rule is applied afterwards, with
// convertDataUrls(), to the parts that are free JSON.
//
// Thread-safety: stateless; may be called from any number of threads.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string_view>

#include "json/json_value.h"

namespace tindrel {

inline constexpr std::size_t kMaxJsonDepth = 512;

class JsonReadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What the reader makes of a string that as a whole is a data URL.
enum class DataUrls {
  asBytes,    // byte data, by the rule above
  asStrings,  // a string like any other
};

// Reads exactly one JSON text (white space around it allowed, a trailing
// carriage return included). Throws JsonReadError when the text is not valid
// JSON by the rules above. The one-argument form reads data URLs as bytes.
JsonValue readJson(std::string_view text);
JsonValue readJson(std::string_view text, DataUrls dataUrls);

// Applies the data-URL rule to a value read with DataUrls::asStrings: every
// string within `value`, at any depth, that as a whole is a data URL becomes
// byte data, exactly as readJson(text) would have read it. Object keys stay
// strings. Does not recurse, so any nesting depth is safe. Never throws
// except std::bad_alloc.
void convertDataUrls(JsonValue& value);

}  // namespace tindrel
