// The HTTP API of the stand-in service, as the Tindrel app offers it on
// 127.0.0.1:
//
//   GET  /api/v1/health           readiness of the service and its models
//   POST /api/v1/transcribe       {"filePath", "idempotencyKey",
//                                 "includeTimestamps"?, "identifySpeakers"?}
//                                 -> the job (202 when new, 200 when the key
//                                 named an earlier job)
//   GET  /api/v1/jobs/<UUID>      -> the job (job_table.h)
//
// Every request must carry the exact Authorization value of the connection
// file, else 401. Every answer is one JSON object; errors hold "code",
// "error" and "recoverySuggestion" (companion_texts.h).
//
// Thread-safety: the handlers may run on any number of server threads at
// once; they share only the JobTable, which is thread-safe.
#pragma once

#include <httplib.h>

#include <string>

#include "job_table.h"

namespace tindrel::companion {

class Service {
 public:
  // `jobs` must outlive the service; `authorizationHeader` is the complete
  // header value, "Bearer " and the token.
  Service(JobTable& jobs, std::string authorizationHeader, double speed);
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Registers the routes and handlers on `server`. The service must outlive
  // every request that `server` handles.
  void install(httplib::Server& server);

 private:
  bool authorized(const httplib::Request& request) const;
  void health(httplib::Response& response);
  void transcribe(const httplib::Request& request, httplib::Response& response);
  void job(const httplib::Request& request, httplib::Response& response);

  JobTable& jobs_;
  const std::string authorizationHeader_;
  const double speed_;
};

}  // namespace tindrel::companion
