#include "json/data_url.h"

#include <string>

#include "json/base64.h"

namespace tindrel {
namespace {

constexpr std::string_view kScheme = "data:";
constexpr std::string_view kBase64Marker = ";base64";

bool isTokenCharacter(char c) {
  if (c <= 0x20 || c >= 0x7F) return false;
  return std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
}

bool isToken(std::string_view text) {
  if (text.empty()) return false;
  for (const char c : text) {
    if (!isTokenCharacter(c)) return false;
  }
  return true;
}

bool equalsIgnoringCase(std::string_view text, std::string_view lowerCase) {
  if (text.size() != lowerCase.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
    if (c != lowerCase[i]) return false;
  }
  return true;
}

// A media type (possibly empty) followed by ";attribute=value" parameters.
bool isMediaTypeWithParameters(std::string_view header) {
  const std::size_t firstSemicolon = header.find(';');
  const std::string_view mediaType = header.substr(0, firstSemicolon);
  if (!mediaType.empty()) {
    const std::size_t slash = mediaType.find('/');
    if (slash == std::string_view::npos || !isToken(mediaType.substr(0, slash)) ||
        !isToken(mediaType.substr(slash + 1))) {
      return false;
    }
  }
  std::size_t position = firstSemicolon;
  while (position != std::string_view::npos) {
    const std::size_t next = header.find(';', position + 1);
    const std::string_view parameter = header.substr(position + 1, next - position - 1);
    const std::size_t equals = parameter.find('=');
    if (equals == std::string_view::npos || !isToken(parameter.substr(0, equals)) ||
        !isToken(parameter.substr(equals + 1))) {
      return false;
    }
    position = next;
  }
  return true;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> decodePercentEncoding(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c <= 0x20 || c >= 0x7F) return std::nullopt;
    if (c != '%') {
      bytes.push_back(c);
      continue;
    }
    if (text.size() - i < 3) return std::nullopt;
    const int high = hexValue(text[i + 1]);
    const int low = hexValue(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(high * 16 + low));
    i += 2;
  }
  return bytes;
}

}  // namespace

std::optional<ByteData> parseDataUrl(std::string_view text) {
  if (!text.starts_with(kScheme)) return std::nullopt;
  text.remove_prefix(kScheme.size());
  const std::size_t comma = text.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  std::string_view header = text.substr(0, comma);
  const std::string_view payload = text.substr(comma + 1);

  const bool isBase64 =
      header.size() >= kBase64Marker.size() &&
      equalsIgnoringCase(header.substr(header.size() - kBase64Marker.size()), kBase64Marker);
  if (isBase64) header.remove_suffix(kBase64Marker.size());
  if (!isMediaTypeWithParameters(header)) return std::nullopt;

  std::optional<std::string> bytes =
      isBase64 ? decodeBase64(payload) : decodePercentEncoding(payload);
  if (!bytes) return std::nullopt;
  return ByteData{std::move(*bytes), std::string(header)};
}

}  // namespace tindrel
