// Helpers shared by the tool-layer tests: JSON literals, readable failure
// output, and a scripted stand-in for the app's local service.
#pragma once

#include <exception>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_reader.h"
#include "json/json_value.h"
#include "json/json_writer.h"
#include "local_api/local_api.h"

namespace tindrel {

inline void PrintTo(const JsonValue& value, std::ostream* out) {
  try {
    *out << writeJson(value);
  } catch (const JsonWriteError&) {
    *out << "<value with a non-finite double>";
  }
}

namespace testing_support {

// The object written as `json`; fails loudly when the literal is not one.
inline JsonObject object(std::string_view json) {
  JsonValue value = readJson(json);
  if (!value.isObject()) throw std::invalid_argument("test literal is not a JSON object");
  return std::move(*value.asObject());
}

// Records every request it receives and answers each with the scripted answer,
// or throws the scripted failure.
class FakeLocalAPI final : public LocalAPI {
 public:
  struct Request {
    std::string method;
    std::string path;
    std::optional<JsonObject> body;
  };

  explicit FakeLocalAPI(JsonObject answer = {}) : answer_(std::move(answer)) {}

  void answerWith(JsonObject answer) {
    answer_ = std::move(answer);
    failure_ = nullptr;
  }
  void failWith(std::exception_ptr failure) { failure_ = std::move(failure); }

  JsonObject request(std::string_view method, std::string_view path, const JsonObject* body,
                     std::stop_token /*stop*/) const override {
    {
      const std::lock_guard lock(mutex_);
      requests_.push_back(Request{std::string(method), std::string(path),
                                  body != nullptr ? std::optional(*body) : std::nullopt});
    }
    if (failure_) std::rethrow_exception(failure_);
    return answer_;
  }

  std::vector<Request> requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  JsonObject answer_;
  std::exception_ptr failure_;
  mutable std::mutex mutex_;
  mutable std::vector<Request> requests_;
};

}  // namespace testing_support
}  // namespace tindrel
