#include "json_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tindrel::companion {
namespace {

void appendDouble(std::string& out, double number) {
  if (!std::isfinite(number)) {
    out += "null";
    return;
  }
  // The fewest significant digits that read back as the same double.
  char text[32];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, number);
    if (std::strtod(text, nullptr) == number) break;
  }
  out += text;
}

void append(std::string& out, const boost::json::value& value) {
  switch (value.kind()) {
    case boost::json::kind::double_:
      appendDouble(out, value.get_double());
      break;
    case boost::json::kind::array: {
      out += '[';
      bool first = true;
      for (const boost::json::value& element : value.get_array()) {
        if (!first) out += ',';
        first = false;
        append(out, element);
      }
      out += ']';
      break;
    }
    case boost::json::kind::object: {
      out += '{';
      bool first = true;
      for (const auto& member : value.get_object()) {
        if (!first) out += ',';
        first = false;
        out += boost::json::serialize(boost::json::string_view(member.key()));
        out += ':';
        append(out, member.value());
      }
      out += '}';
      break;
    }
    default:  // null, booleans, integers and strings: Boost's form is the usual one
      out += boost::json::serialize(value);
  }
}

}  // namespace

std::string toJsonText(const boost::json::value& value) {
  std::string out;
  append(out, value);
  return out;
}

}  // namespace tindrel::companion
