// ProtocolError: a failure that the MCP server core writes as a JSON-RPC error
// response: a kind (with its code and message text) and an optional detail.
#pragma once

#include <exception>
#include <optional>
#include <string>

namespace tindrel {

class ProtocolError : public std::exception {
 public:
  enum class Kind { parseError, invalidRequest, methodNotFound, invalidParams, internalError };

  explicit ProtocolError(Kind kind, std::optional<std::string> detail = std::nullopt);

  Kind kind() const noexcept { return kind_; }
  const std::optional<std::string>& detail() const noexcept { return detail_; }

  // The JSON-RPC code of the kind (-32700, -32600, -32601, -32602, -32603).
  int code() const noexcept;
  // The kind's message text, followed by ": " and the detail when there is one.
  const std::string& message() const noexcept { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  Kind kind_;
  std::optional<std::string> detail_;
  std::string message_;
};

// Thrown by a method handler that ends because its request was cancelled
// (notifications/cancelled): the core then writes nothing for the request.
class RequestCancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "request cancelled"; }
};

}  // namespace tindrel
