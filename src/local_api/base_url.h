// Splitting a URL into its components, strictly, and the loopback test of the
// connection file's base URL.
//
// Thread-safety: stateless; may be called from any number of threads.
#pragma once

#include <optional>
#include <string_view>

namespace tindrel {

// The components of a URL as RFC 3986 divides it. Every component refers into
// the parsed text. An absent component is std::nullopt; a present but empty
// one (a bare "?" or "#", "user@") is an empty view.
struct URLComponents {
  std::optional<std::string_view> scheme;
  std::optional<std::string_view> user;
  std::optional<std::string_view> password;
  std::optional<std::string_view> host;
  std::optional<std::string_view> port;
  std::string_view path;
  std::optional<std::string_view> query;
  std::optional<std::string_view> fragment;
};

// Splits `text` into its components, or returns std::nullopt when it is not a
// URL: a byte outside printable ASCII, a character not allowed where it
// stands, a "%" not followed by two hex digits, a port that is not a decimal
// number without leading zeros, or a bracketed host without its "]".
std::optional<URLComponents> parseURLComponents(std::string_view text);

// True when `baseURL` is exactly a root URL of the IPv4 loopback service:
// scheme "http", host "127.0.0.1", an explicit port from 1 to 65535, no user,
// password, query or fragment (a bare "?" or "#" counts as present), and a
// path that is empty or "/". Names and other loopback addresses are refused.
bool isLoopbackBaseURL(std::string_view baseURL);

// True when `path` is made only of characters a URL path (with an optional
// query and fragment) may hold, so that joined to a base URL it makes a URL.
bool isValidURLPath(std::string_view path);

}  // namespace tindrel
