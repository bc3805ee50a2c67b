// Fuzz target: reading and writing JSON.
//
// Any input either is refused by readJson with JsonReadError or reads as a
// value. A value that can be written (no non-finite double) gives compact text
// without a raw line feed that reads back as the same value, except that byte
// data without a media type comes back as "text/plain"; writing that second
// value gives the same text again.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "json/json_reader.h"
#include "json/json_value.h"
#include "json/json_writer.h"

namespace {

using tindrel::JsonValue;

// True when `second` is `first` as the writer is specified to give it back.
bool sameAfterRoundTrip(const JsonValue& first, const JsonValue& second) {
  if (first.isBytes() && second.isBytes()) {
    const auto& a = *first.asBytes();
    const auto& b = *second.asBytes();
    const std::string_view expectedType =
        a.mimeType.empty() ? std::string_view("text/plain") : std::string_view(a.mimeType);
    return a.bytes == b.bytes && expectedType == b.mimeType;
  }
  if (first.kind() != second.kind()) return false;
  if (const auto* array = first.asArray()) {
    const auto& other = *second.asArray();
    if (array->size() != other.size()) return false;
    for (std::size_t i = 0; i < array->size(); ++i) {
      if (!sameAfterRoundTrip((*array)[i], other[i])) return false;
    }
    return true;
  }
  if (const auto* object = first.asObject()) {
    const auto& other = *second.asObject();
    if (object->size() != other.size()) return false;
    auto it = other.begin();
    for (const auto& [key, member] : *object) {
      if (key != it->first || !sameAfterRoundTrip(member, it->second)) return false;
      ++it;
    }
    return true;
  }
  if (const auto* number = first.asDouble()) {
    // Bitwise sameness matters for the sign of zero, which == ignores.
    return std::signbit(*number) == std::signbit(*second.asDouble()) &&
           *number == *second.asDouble();
  }
  return first == second;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  JsonValue first;
  try {
    first = tindrel::readJson(text);
  } catch (const tindrel::JsonReadError&) {
    return 0;
  }
  std::string written;
  try {
    written = tindrel::writeJson(first);
  } catch (const tindrel::JsonWriteError&) {
    return 0;  // a number beyond the double range read as infinity
  }
  FUZZ_CHECK(written.find('\n') == std::string::npos, "written JSON holds a raw line feed");
  JsonValue second;
  try {
    second = tindrel::readJson(written);
  } catch (const tindrel::JsonReadError&) {
    FUZZ_CHECK(false, "written JSON does not read back");
  }
  FUZZ_CHECK(sameAfterRoundTrip(first, second), "value changed through writing and reading");
  FUZZ_CHECK(tindrel::writeJson(second) == written, "writing is not stable");
  return 0;
}
