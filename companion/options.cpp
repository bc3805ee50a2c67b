#include "options.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>

namespace tindrel::companion {
namespace {

constexpr double kMaxSpeed = 1e6;

bool parseInteger(const std::string& text, int& value) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  return error == std::errc() && stop == end && !text.empty();
}

// strtod rather than from_chars: not every standard library of macOS has the
// floating-point from_chars.
bool parseDouble(const std::string& text, double& value) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return false;
  char* stop = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &stop);
  return errno == 0 && stop == text.c_str() + text.size();
}

}  // namespace

std::optional<CompanionOptions> parseOptions(const std::vector<std::string>& arguments,
                                             std::string& error) {
  CompanionOptions options;
  if (arguments.size() == 1 && arguments[0] == "--help") {
    options.help = true;
    return options;
  }
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& name = arguments[i];
    if (name != "--connection" && name != "--port" && name != "--speed") {
      error = "unknown argument " + name;
      return std::nullopt;
    }
    if (i + 1 == arguments.size()) {
      error = name + " needs a value";
      return std::nullopt;
    }
    const std::string& value = arguments[++i];
    if (name == "--connection") {
      if (value.empty() || value.front() != '/') {
        error = "--connection needs an absolute path";
        return std::nullopt;
      }
      options.connection = value;
    } else if (name == "--port") {
      if (!parseInteger(value, options.port) || options.port < 0 || options.port > 65535) {
        error = "--port needs a number from 0 to 65535";
        return std::nullopt;
      }
    } else {
      if (!parseDouble(value, options.speed) || !std::isfinite(options.speed) ||
          options.speed <= 0 || options.speed > kMaxSpeed) {
        error = "--speed needs a number greater than 0";
        return std::nullopt;
      }
    }
  }
  return options;
}

}  // namespace tindrel::companion
