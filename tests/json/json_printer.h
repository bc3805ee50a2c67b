// Lets GoogleTest print a JsonValue as its JSON text in failure messages.
#pragma once

#include <ostream>

#include "json/json_value.h"
#include "json/json_writer.h"

namespace tindrel {

inline void PrintTo(const JsonValue& value, std::ostream* out) {
  try {
    *out << writeJson(value) << " (kind " << static_cast<int>(value.kind()) << ")";
  } catch (const JsonWriteError&) {
    *out << "<value with a non-finite double>";
  }
}

}  // namespace tindrel
