#include "local_api/base_url.h"

#include <cstdint>

namespace tindrel {
namespace {

bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool isUnreserved(char c) {
  return isAlpha(c) || isDigit(c) || c == '-' || c == '.' || c == '_' || c == '~';
}
bool isSubDelimiter(char c) {
  switch (c) {
    case '!':
    case '$':
    case '&':
    case '\'':
    case '(':
    case ')':
    case '*':
    case '+':
    case ',':
    case ';':
    case '=':
      return true;
    default:
      return false;
  }
}

// True when every character of `text` is unreserved, a sub-delimiter, one of
// `extra`, or part of a well-formed percent escape.
bool isMadeOf(std::string_view text, std::string_view extra) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return false;
      if (!isHexDigit(text[i + 1]) || !isHexDigit(text[i + 2])) return false;
      i += 2;
      continue;
    }
    if (isUnreserved(c) || isSubDelimiter(c) || extra.find(c) != std::string_view::npos) continue;
    return false;
  }
  return true;
}

bool isScheme(std::string_view text) {
  if (text.empty() || !isAlpha(text.front())) return false;
  for (const char c : text) {
    if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
  }
  return true;
}

bool parseAuthority(std::string_view authority, URLComponents& parts) {
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    const std::string_view userInfo = authority.substr(0, at);
    if (!isMadeOf(userInfo, ":")) return false;
    const std::size_t colon = userInfo.find(':');
    parts.user = userInfo.substr(0, colon);
    if (colon != std::string_view::npos) parts.password = userInfo.substr(colon + 1);
    authority.remove_prefix(at + 1);
  }
  std::string_view rest;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    if (!isMadeOf(authority.substr(1, close - 1), ":")) return false;
    parts.host = authority.substr(0, close + 1);
    rest = authority.substr(close + 1);
  } else {
    const std::size_t colon = authority.find(':');
    parts.host = authority.substr(0, colon);
    if (!isMadeOf(*parts.host, "")) return false;
    rest = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
  }
  if (rest.empty()) return true;
  if (rest.front() != ':') return false;
  const std::string_view port = rest.substr(1);
  if (port.empty()) return true;  // "host:" names no port.
  if (port.size() > 1 && port.front() == '0') return false;
  for (const char c : port) {
    if (!isDigit(c)) return false;
  }
  parts.port = port;
  return true;
}

}  // namespace

std::optional<URLComponents> parseURLComponents(std::string_view text) {
  for (const char c : text) {
    if (c <= 0x20 || c >= 0x7f) return std::nullopt;
  }
  URLComponents parts;
  std::string_view rest = text;

  const std::size_t hash = rest.find('#');
  if (hash != std::string_view::npos) {
    parts.fragment = rest.substr(hash + 1);
    if (!isMadeOf(*parts.fragment, ":@/?")) return std::nullopt;
    rest = rest.substr(0, hash);
  }
  const std::size_t question = rest.find('?');
  if (question != std::string_view::npos) {
    parts.query = rest.substr(question + 1);
    if (!isMadeOf(*parts.query, ":@/?")) return std::nullopt;
    rest = rest.substr(0, question);
  }

  const std::size_t colon = rest.find(':');
  const std::size_t slash = rest.find('/');
  if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash) &&
      isScheme(rest.substr(0, colon))) {
    parts.scheme = rest.substr(0, colon);
    rest.remove_prefix(colon + 1);
  }
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    const std::size_t pathStart = rest.find('/');
    if (!parseAuthority(rest.substr(0, pathStart), parts)) return std::nullopt;
    rest = pathStart == std::string_view::npos ? std::string_view() : rest.substr(pathStart);
  }
  if (!isMadeOf(rest, ":@/")) return std::nullopt;
  parts.path = rest;
  return parts;
}

bool isLoopbackBaseURL(std::string_view baseURL) {
  const std::optional<URLComponents> parts = parseURLComponents(baseURL);
  if (!parts) return false;
  if (parts->scheme != "http") return false;
  if (parts->host != "127.0.0.1") return false;
  if (!parts->port) return false;
  std::uint32_t port = 0;
  for (const char c : *parts->port) {
    port = port * 10 + static_cast<std::uint32_t>(c - '0');
    if (port > 65535) return false;
  }
  if (port < 1) return false;
  if (parts->user || parts->password || parts->query || parts->fragment) return false;
  return parts->path.empty() || parts->path == "/";
}

bool isValidURLPath(std::string_view path) {
  for (const char c : path) {
    if (c <= 0x20 || c >= 0x7f) return false;
  }
  const std::size_t hash = path.find('#');
  if (hash != std::string_view::npos && !isMadeOf(path.substr(hash + 1), ":@/?")) return false;
  const std::string_view beforeFragment = path.substr(0, hash);
  const std::size_t question = beforeFragment.find('?');
  if (question != std::string_view::npos &&
      !isMadeOf(beforeFragment.substr(question + 1), ":@/?")) {
    return false;
  }
  return isMadeOf(beforeFragment.substr(0, question), ":@/");
}

}  // namespace tindrel
