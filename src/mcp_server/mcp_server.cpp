#include "mcp_server/mcp_server.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "json/json_reader.h"
#include "json/json_writer.h"
#include "mcp_server/json_rpc.h"
#include "mcp_server/protocol_error.h"
#include "mcp_server/session_texts.h"
#include "mcp_server/worker_pool.h"
#include "text/uuid.h"

namespace tindrel {

namespace texts = session_texts;

namespace {

struct Method {
  MCPServer::MethodHandler handler;
  bool runsOnLoop = false;  // the core's own methods: instant, answered in reading order
};

JsonValue randomId() { return randomUuidString(); }

ProtocolError invalidRequest(std::string_view detail) {
  return ProtocolError(ProtocolError::Kind::invalidRequest, std::string(detail));
}

// The requests the gate lets through before initialize.
bool passesGateUninitialized(std::string_view method) {
  return method == texts::kInitialize || method == texts::kPing || method == texts::kDiscover;
}

// The pending-request table is keyed by the id's JSON text, which keeps the
// string "1" and the integer 1 apart.
std::string pendingKey(const JsonValue& id) { return writeJson(id); }

}  // namespace

struct MCPServer::State {
  explicit State(ServerConfiguration configuration) : configuration(std::move(configuration)) {}

  const ServerConfiguration configuration;
  std::map<std::string, Method, std::less<>> methods;  // fixed once started
  MessageTransport* transport = nullptr;
  WorkerPool workers;
  std::thread loop;

  std::mutex mutex;
  bool initialized = false;                         // guarded by mutex
  std::map<std::string, std::stop_source> pending;  // guarded by mutex
  std::size_t requestsRunning = 0;                  // guarded by mutex
  bool loopEnded = false;                           // guarded by mutex
  std::condition_variable changed;

  void runLoop();
  void handleMessage(const std::string& text);
  void handleRequest(JsonRpcRequest request);
  void handleBatch(JsonArray& elements);
  void handleNotification(const JsonRpcNotification& notification);
  std::optional<JsonValue> runMethod(const Method& method, const JsonRpcRequest& request,
                                     std::stop_token stop);
  std::optional<JsonValue> answerRequest(const JsonRpcRequest& request, bool inBatch);
  void sendResponse(const JsonValue& id, const JsonValue& response);
  // Drops the pending entry `key` if it still belongs to `stop`: a later
  // request may have reused the id.
  void forgetPending(const std::string& key, const std::stop_source& stop);
  void sendError(const JsonValue& id, const ProtocolError& error);

  JsonValue initialize(const JsonValue* params);
  void cancel(const JsonValue* params);
  bool isInitialized() {
    const std::lock_guard lock(mutex);
    return initialized;
  }
};

MCPServer::MCPServer(ServerConfiguration configuration)
    : state_(std::make_unique<State>(std::move(configuration))) {}

MCPServer::~MCPServer() {
  if (state_->loop.joinable()) {
    bool loopEnded;
    {
      const std::lock_guard lock(state_->mutex);
      loopEnded = state_->loopEnded;
    }
    // Ending the stream is needed only to stop a loop still reading; after
    // the end of input the transport stays usable for the last answers.
    if (!loopEnded) state_->transport->disconnect();
    state_->loop.join();
  }
  std::unique_lock lock(state_->mutex);
  for (auto& [key, stop] : state_->pending) stop.request_stop();
  state_->changed.wait(lock, [&] { return state_->requestsRunning == 0; });
}

void MCPServer::registerMethod(std::string method, MethodHandler handler) {
  state_->methods.insert_or_assign(std::move(method), Method{std::move(handler), false});
}

void MCPServer::start(MessageTransport& transport) {
  State& state = *state_;
  state.methods.insert_or_assign(std::string(texts::kInitialize),
                                 Method{[&state](const JsonValue* params, std::stop_token) {
                                          return state.initialize(params);
                                        },
                                        true});
  state.methods.insert_or_assign(
      std::string(texts::kPing),
      Method{[](const JsonValue*, std::stop_token) { return JsonValue(JsonObject{}); }, true});
  transport.connect();
  state.transport = &transport;
  state.loop = std::thread([&state] { state.runLoop(); });
}

void MCPServer::waitUntilCompleted() {
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [&] { return state_->loopEnded; });
}

void MCPServer::State::runLoop() {
  for (;;) {
    std::optional<std::string> message;
    try {
      message = transport->receive();
    } catch (...) {
      break;  // a stream that ends with an error ends the session like end of input
    }
    if (!message) break;
    try {
      handleMessage(*message);
    } catch (...) {
      // Every failure is answered inside handleMessage; nothing may end the loop.
    }
  }
  {
    const std::lock_guard lock(mutex);
    loopEnded = true;
  }
  changed.notify_all();
}

void MCPServer::State::handleMessage(const std::string& text) {
  const ProtocolError malformed(ProtocolError::Kind::parseError,
                                std::string(texts::kInvalidMessageFormat));
  JsonValue message;
  try {
    // The envelope's own members are plain strings: an id or a method that
    // happens to look like a data URL must still make a request.
    message = readJson(text, DataUrls::asStrings);
  } catch (const std::exception&) {
    sendError(randomId(), malformed);
    return;
  }
  if (JsonArray* elements = message.asArray()) {
    handleBatch(*elements);
    return;
  }
  // The server sends no requests, so a response from the client matches
  // nothing and is dropped.
  if (isJsonRpcResponse(message)) return;
  if (auto request = takeJsonRpcRequest(message)) {
    handleRequest(std::move(*request));
    return;
  }
  if (const auto notification = takeJsonRpcNotification(message)) {
    try {
      handleNotification(*notification);
    } catch (const ProtocolError& error) {
      sendError(randomId(), error);
    }
    return;
  }
  const JsonValue* id = message.find("id");
  sendError(id != nullptr && isRequestId(*id) ? *id : randomId(), malformed);
}

void MCPServer::State::handleRequest(JsonRpcRequest request) {
  if (!passesGateUninitialized(request.method) && !isInitialized()) return;
  const auto method = methods.find(request.method);
  if (method == methods.end() || method->second.runsOnLoop) {
    if (auto response = answerRequest(request, false)) sendResponse(request.id, *response);
    return;
  }
  std::stop_source stop;
  const std::string key = pendingKey(request.id);
  {
    const std::lock_guard lock(mutex);
    pending.insert_or_assign(key, stop);
    ++requestsRunning;
  }
  const auto leaveTable = [this, key, stop] { forgetPending(key, stop); };
  const auto finished = [this] {
    // Notified under the lock: once the count reaches zero the destructor
    // may free this state as soon as it can take the lock.
    const std::lock_guard lock(mutex);
    --requestsRunning;
    changed.notify_all();
  };
  try {
    workers.submit([this, &handler = method->second, request = std::move(request), stop, leaveTable,
                    finished] {
      std::optional<JsonValue> response = runMethod(handler, request, stop.get_token());
      // Out of the table before the answer goes out: a cancellation arriving
      // now has nothing left to stop.
      leaveTable();
      if (response) sendResponse(request.id, *response);
      finished();
    });
  } catch (const std::exception& error) {
    leaveTable();
    finished();
    sendError(request.id, ProtocolError(ProtocolError::Kind::internalError, error.what()));
  }
}

// The response to `request`, or nullopt when nothing is to be written. Runs
// registered handlers on the calling thread.
std::optional<JsonValue> MCPServer::State::answerRequest(const JsonRpcRequest& request,
                                                         bool inBatch) {
  if (inBatch) {
    if (request.method.empty())
      return errorResponse(request.id, invalidRequest(texts::kInvalidBatchItem));
    if (!passesGateUninitialized(request.method) && !isInitialized()) {
      return errorResponse(request.id, invalidRequest(texts::kNotInitialized));
    }
  }
  const auto method = methods.find(request.method);
  if (method == methods.end()) {
    return errorResponse(request.id,
                         ProtocolError(ProtocolError::Kind::methodNotFound,
                                       std::string(texts::kUnknownMethodPrefix) + request.method));
  }
  if (method->second.runsOnLoop) return runMethod(method->second, request, {});
  std::stop_source stop;
  const std::string key = pendingKey(request.id);
  {
    const std::lock_guard lock(mutex);
    pending.insert_or_assign(key, stop);
  }
  std::optional<JsonValue> response = runMethod(method->second, request, stop.get_token());
  forgetPending(key, stop);
  return response;
}

void MCPServer::State::forgetPending(const std::string& key, const std::stop_source& stop) {
  const std::lock_guard lock(mutex);
  const auto entry = pending.find(key);
  if (entry != pending.end() && entry->second == stop) pending.erase(entry);
}

std::optional<JsonValue> MCPServer::State::runMethod(const Method& method,
                                                     const JsonRpcRequest& request,
                                                     std::stop_token stop) {
  const JsonValue* params = request.params ? &*request.params : nullptr;
  try {
    return successResponse(request.id, method.handler(params, std::move(stop)));
  } catch (const RequestCancelled&) {
    return std::nullopt;
  } catch (const ProtocolError& error) {
    return errorResponse(request.id, error);
  } catch (const std::exception& error) {
    return errorResponse(request.id,
                         ProtocolError(ProtocolError::Kind::internalError, error.what()));
  } catch (...) {
    return errorResponse(request.id, ProtocolError(ProtocolError::Kind::internalError,
                                                   std::string(texts::kUnknownFailure)));
  }
}

void MCPServer::State::handleBatch(JsonArray& elements) {
  if (elements.empty()) {
    sendError(randomId(), invalidRequest(texts::kEmptyBatch));
    return;
  }
  // The whole array is read before anything runs: one element that is
  // neither a request (it has an "id") nor a notification spoils it all.
  std::vector<std::variant<JsonRpcRequest, JsonRpcNotification>> items;
  items.reserve(elements.size());
  for (JsonValue& element : elements) {
    const bool hasId = element.find("id") != nullptr;
    if (hasId) {
      if (auto request = takeJsonRpcRequest(element)) {
        items.emplace_back(std::move(*request));
        continue;
      }
    } else if (auto notification = takeJsonRpcNotification(element)) {
      items.emplace_back(std::move(*notification));
      continue;
    }
    sendError(randomId(), ProtocolError(ProtocolError::Kind::parseError,
                                        std::string(texts::kInvalidMessageFormat)));
    return;
  }

  // Each held-back response is encoded on its own, so that one result that
  // cannot be written becomes that request's error instead of losing the
  // others.
  std::string answer;
  for (auto& item : items) {
    if (const auto* request = std::get_if<JsonRpcRequest>(&item)) {
      const std::optional<JsonValue> response = answerRequest(*request, true);
      if (!response) continue;
      std::string encoded;
      try {
        encoded = writeJson(*response);
      } catch (const std::exception& error) {
        encoded = writeJson(errorResponse(
            request->id, ProtocolError(ProtocolError::Kind::internalError, error.what())));
      }
      answer += answer.empty() ? '[' : ',';
      answer += encoded;
    } else {
      try {
        handleNotification(std::get<JsonRpcNotification>(item));
      } catch (const ProtocolError&) {
        // A notification inside a batch is never answered.
      }
    }
  }
  if (answer.empty()) return;
  answer += ']';
  try {
    transport->send(answer);
  } catch (...) {
    // The transport fails every later write as well; nothing more to do.
  }
}

void MCPServer::State::handleNotification(const JsonRpcNotification& notification) {
  if (notification.method == texts::kInitializedNotification) return;
  if (!isInitialized()) throw invalidRequest(texts::kNotInitialized);
  if (notification.method == texts::kCancelledNotification) {
    cancel(notification.params ? &*notification.params : nullptr);
  }
}

void MCPServer::State::cancel(const JsonValue* params) {
  const JsonValue* id = params != nullptr ? params->find("requestId") : nullptr;
  if (id == nullptr || !isRequestId(*id)) return;
  std::stop_source stop;
  {
    const std::lock_guard lock(mutex);
    const auto entry = pending.find(pendingKey(*id));
    if (entry == pending.end()) return;
    stop = std::move(entry->second);
    pending.erase(entry);
  }
  stop.request_stop();
}

JsonValue MCPServer::State::initialize(const JsonValue* params) {
  const std::lock_guard lock(mutex);
  if (initialized) throw invalidRequest(texts::kAlreadyInitialized);
  if (params == nullptr || params->isNull()) {
    throw std::runtime_error(std::string(texts::kInitializeParamsMissing));
  }
  if (!params->isObject()) throw std::runtime_error(std::string(texts::kInitializeParamsNotObject));

  // Lenient about what is missing (or null), which takes its default; a
  // member of the wrong type is a reading failure like any other, and leaves
  // the session closed.
  const auto present = [params](std::string_view key) -> const JsonValue* {
    const JsonValue* member = params->find(key);
    return member != nullptr && !member->isNull() ? member : nullptr;
  };
  const JsonValue* version = present("protocolVersion");
  if (version != nullptr && !version->isString()) {
    throw std::runtime_error(std::string(texts::kInitializeVersionNotString));
  }
  const JsonValue* capabilities = present("capabilities");
  if (capabilities != nullptr && !capabilities->isObject()) {
    throw std::runtime_error(std::string(texts::kInitializeCapabilitiesNotObject));
  }
  const JsonValue* info = present("clientInfo");
  if (info != nullptr) {
    const JsonValue* name = info->find("name");
    const JsonValue* infoVersion = info->find("version");
    if (name == nullptr || !name->isString() || infoVersion == nullptr ||
        !infoVersion->isString()) {
      throw std::runtime_error(std::string(texts::kInitializeClientInfoMalformed));
    }
  }

  const std::string_view requested =
      version != nullptr ? std::string_view(*version->asString()) : texts::kLatestProtocolVersion;
  const auto& supported = texts::kSupportedProtocolVersions;
  const bool known = std::find(supported.begin(), supported.end(), requested) != supported.end();
  const std::string_view protocolVersion = known ? requested : texts::kLatestProtocolVersion;
  initialized = true;

  return JsonObject{
      {"capabilities", configuration.capabilities},
      {"protocolVersion", protocolVersion},
      {"serverInfo", JsonObject{{"name", configuration.name}, {"version", configuration.version}}},
  };
}

void MCPServer::State::sendError(const JsonValue& id, const ProtocolError& error) {
  sendResponse(id, errorResponse(id, error));
}

void MCPServer::State::sendResponse(const JsonValue& id, const JsonValue& response) {
  try {
    transport->send(writeJson(response));
  } catch (const std::exception& error) {
    // One attempt to tell the client why its answer is missing; after a
    // failed write the transport refuses this as well, which is dropped.
    try {
      transport->send(writeJson(errorResponse(
          id, ProtocolError(ProtocolError::Kind::internalError, std::string(error.what())))));
    } catch (...) {
    }
  }
}

}  // namespace tindrel
