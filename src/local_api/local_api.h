// LocalAPI: the seam between the tool layer and the app's local HTTP service.
// LocalAPIClient is the real implementation; tests substitute fakes.
#pragma once

#include <stop_token>
#include <string_view>

#include "json/json_value.h"

namespace tindrel {

class LocalAPI {
 public:
  virtual ~LocalAPI() = default;

  // Makes exactly one authenticated exchange with the app's service and
  // returns its answer object, already redacted. `body`, when not null, is sent
  // as JSON. Throws BridgeError for every expected failure, RequestAborted
  // when `stop` is requested before the exchange completes, and possibly
  // JsonWriteError when the body cannot be written.
  // Thread-safety: may be called from any number of threads at once.
  virtual JsonObject request(std::string_view method, std::string_view path, const JsonObject* body,
                             std::stop_token stop) const = 0;
};

}  // namespace tindrel
