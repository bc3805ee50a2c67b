// BridgeError: the record in which every expected failure of the tool layer
// travels (connection file, HTTP exchange, argument checks) until the tool
// layer turns it into an error result {"code", "error", "recoverySuggestion"}.
#pragma once

#include <exception>
#include <string>

namespace tindrel {

class BridgeError : public std::exception {
 public:
  BridgeError(std::string code, std::string message, std::string recoverySuggestion)
      : code_(std::move(code)),
        message_(std::move(message)),
        recoverySuggestion_(std::move(recoverySuggestion)) {}

  const std::string& code() const noexcept { return code_; }
  const std::string& message() const noexcept { return message_; }
  const std::string& recoverySuggestion() const noexcept { return recoverySuggestion_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string code_;
  std::string message_;
  std::string recoverySuggestion_;
};

// Thrown by a request whose stop token was set before its exchange completed.
// It is not a tool failure: the caller's request was withdrawn.
class RequestAborted : public std::exception {
 public:
  const char* what() const noexcept override { return "request aborted"; }
};

}  // namespace tindrel
