#include "mcp_server/protocol_error.h"

#include <string_view>
#include <utility>

namespace tindrel {

namespace {

struct KindText {
  int code;
  std::string_view message;
};

KindText kindText(ProtocolError::Kind kind) noexcept {
  switch (kind) {
    case ProtocolError::Kind::parseError:
      return {-32700, "Parse error: Invalid JSON"};
    case ProtocolError::Kind::invalidRequest:
      return {-32600, "Invalid Request"};
    case ProtocolError::Kind::methodNotFound:
      return {-32601, "Method not found"};
    case ProtocolError::Kind::invalidParams:
      return {-32602, "Invalid params"};
    case ProtocolError::Kind::internalError:
      break;
  }
  return {-32603, "Internal error"};
}

}  // namespace

ProtocolError::ProtocolError(Kind kind, std::optional<std::string> detail)
    : kind_(kind), detail_(std::move(detail)), message_(kindText(kind).message) {
  if (detail_) {
    message_ += ": ";
    message_ += *detail_;
  }
}

int ProtocolError::code() const noexcept { return kindText(kind_).code; }

}  // namespace tindrel
