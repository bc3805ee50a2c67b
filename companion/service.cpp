#include "service.h"

#include <sys/stat.h>
#include <algorithm>
#include <boost/json.hpp>
#include <cctype>
#include <optional>
#include <system_error>

#include "companion_texts.h"
#include "json_text.h"

namespace tindrel::companion {
namespace {

constexpr std::size_t kMaxBodyBytes = 1024 * 1024;
constexpr const char* kJsonType = "application/json";

void sendJson(httplib::Response& response, int status, const boost::json::object& body) {
  response.status = status;
  response.set_content(toJsonText(body), kJsonType);
}

void sendError(httplib::Response& response, const ErrorText& text) {
  boost::json::object body;
  body["code"] = text.code;
  body["error"] = text.error;
  body["recoverySuggestion"] = text.recoverySuggestion;
  sendJson(response, text.status, body);
}

// Compares without stopping at the first difference, so that the time taken
// tells nothing about how much of a guessed token was right.
bool constantTimeEquals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

// The canonical 36-character UUID in upper case, or nullopt.
std::optional<std::string> canonicalUuid(const std::string& text) {
  if (text.size() != 36) return std::nullopt;
  std::string upper = text;
  for (std::size_t i = 0; i < upper.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    if (hyphen != (upper[i] == '-')) return std::nullopt;
    if (!hyphen && !std::isxdigit(static_cast<unsigned char>(upper[i]))) return std::nullopt;
    upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(upper[i])));
  }
  return upper;
}

bool isJsonMediaType(const std::string& contentType) {
  std::string type = contentType.substr(0, contentType.find(';'));
  type.erase(type.find_last_not_of(" \t") + 1);
  std::transform(type.begin(), type.end(), type.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return type == kJsonType;
}

bool isKnownPath(const std::string& path) {
  return path == "/api/v1/health" || path == "/api/v1/transcribe" ||
         path.rfind("/api/v1/jobs/", 0) == 0;
}

}  // namespace

Service::Service(JobTable& jobs, std::string authorizationHeader, double speed)
    : jobs_(jobs), authorizationHeader_(std::move(authorizationHeader)), speed_(speed) {}

void Service::install(httplib::Server& server) {
  server.set_payload_max_length(kMaxBodyBytes);

  server.set_pre_routing_handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        if (authorized(request)) return httplib::Server::HandlerResponse::Unhandled;
        sendError(response, errors::kUnauthorized);
        return httplib::Server::HandlerResponse::Handled;
      });

  server.Get("/api/v1/health",
             [this](const httplib::Request&, httplib::Response& response) { health(response); });
  server.Post("/api/v1/transcribe",
              [this](const httplib::Request& request, httplib::Response& response) {
                transcribe(request, response);
              });
  server.Get(R"(/api/v1/jobs/([^/]+))",
             [this](const httplib::Request& request, httplib::Response& response) {
               job(request, response);
             });

  // The server calls this for every answer with a status of 400 or more,
  // also the ones the handlers have already filled: only empty answers (no
  // route, or a request the server itself refused) are given a body here.
  server.set_error_handler(httplib::Server::HandlerWithResponse(
      [](const httplib::Request& request, httplib::Response& response) {
        if (!response.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        switch (response.status) {
          case 404:
            sendError(response,
                      isKnownPath(request.path) ? errors::kMethodNotAllowed : errors::kNotFound);
            break;
          case 413:
            sendError(response, errors::kTooLarge);
            break;
          case 400:
            sendError(response, errors::kBadRequest);
            break;
          default: {
            const int status = response.status;
            sendError(response, errors::kRequestFailed);
            response.status = status;
          }
        }
        return httplib::Server::HandlerResponse::Handled;
      }));

  server.set_exception_handler([](const httplib::Request&, httplib::Response& response,
                                  std::exception_ptr) { sendError(response, errors::kInternal); });
}

bool Service::authorized(const httplib::Request& request) const {
  // Exactly one Authorization header, with exactly the value of the file.
  return request.get_header_value_count("Authorization") == 1 &&
         constantTimeEquals(request.get_header_value("Authorization"), authorizationHeader_);
}

void Service::health(httplib::Response& response) {
  const JobTable::Counts counts = jobs_.counts();
  boost::json::object engine;
  engine["name"] = "stand-in";
  engine["standIn"] = true;
  engine["speed"] = speed_;
  engine["description"] = kEngineDescription;
  boost::json::array models;
  for (const char* name : {"transcription", "speaker-identification"}) {
    boost::json::object model;
    model["name"] = name;
    model["ready"] = true;
    model["standIn"] = true;
    models.push_back(std::move(model));
  }
  boost::json::object jobs;
  jobs["queued"] = counts.queued;
  jobs["running"] = counts.running;
  jobs["finished"] = counts.finished;

  boost::json::object body;
  body["status"] = "ready";
  body["ready"] = true;
  body["service"] = "tindrel-companion";
  body["apiVersion"] = "v1";
  body["engine"] = std::move(engine);
  body["models"] = std::move(models);
  body["jobs"] = std::move(jobs);
  sendJson(response, 200, body);
}

void Service::transcribe(const httplib::Request& request, httplib::Response& response) {
  if (!isJsonMediaType(request.get_header_value("Content-Type"))) {
    return sendError(response, errors::kUnsupportedMediaType);
  }
  boost::system::error_code parseError;
  const boost::json::value document = boost::json::parse(request.body, parseError);
  const boost::json::object* body = parseError ? nullptr : document.if_object();
  if (body == nullptr) return sendError(response, errors::kInvalidBody);

  JobRequest job;
  const boost::json::value* filePath = body->if_contains("filePath");
  if (filePath == nullptr || !filePath->is_string() || filePath->get_string().empty() ||
      filePath->get_string().front() != '/' ||
      filePath->get_string().find('\0') != boost::json::string::npos) {
    return sendError(response, errors::kInvalidFilePath);
  }
  job.filePath = std::string(filePath->get_string());

  const boost::json::value* key = body->if_contains("idempotencyKey");
  if (key == nullptr || !key->is_string() || key->get_string().empty()) {
    return sendError(response, errors::kInvalidIdempotencyKey);
  }
  job.idempotencyKey = std::string(key->get_string());

  for (const auto& [name, flag] : {std::pair{"includeTimestamps", &job.includeTimestamps},
                                   std::pair{"identifySpeakers", &job.identifySpeakers}}) {
    if (const boost::json::value* value = body->if_contains(name)) {
      if (!value->is_bool()) return sendError(response, errors::kInvalidFlags);
      *flag = value->get_bool();
    }
  }

  // An earlier job under the same key is answered even if its file has gone
  // since; only a new job needs the file.
  if (std::optional<boost::json::object> earlier = jobs_.earlierJob(job.idempotencyKey)) {
    (*earlier)["idempotentReplay"] = true;
    return sendJson(response, 200, *earlier);
  }
  struct stat attributes {};
  if (::stat(job.filePath.c_str(), &attributes) != 0 || !S_ISREG(attributes.st_mode)) {
    return sendError(response, errors::kFileNotFound);
  }
  try {
    JobTable::Submission submission = jobs_.submit(job);
    submission.job["idempotentReplay"] = !submission.created;
    sendJson(response, submission.created ? 202 : 200, submission.job);
  } catch (const std::system_error&) {
    sendError(response, errors::kFileUnreadable);
  }
}

void Service::job(const httplib::Request& request, httplib::Response& response) {
  const std::optional<std::string> id = canonicalUuid(request.matches[1].str());
  if (!id) return sendError(response, errors::kInvalidJobId);
  const std::optional<boost::json::object> answer = jobs_.describe(*id);
  if (!answer) return sendError(response, errors::kJobNotFound);
  sendJson(response, 200, *answer);
}

}  // namespace tindrel::companion
