// The service's transcription jobs: submission with idempotency keys, the
// schedule of the one stand-in engine, and each job's answer as it moves
// queued -> running -> completed, failed, cancelled or interrupted.
//
// The engine works through jobs one at a time in submission order. A job's
// schedule is fixed when it is submitted: it waits at least a short moment in
// the queue, then runs for max(1 s, audio duration) / speed, half as long
// again when speakers are identified. Its state at any moment is read off the
// clock, so no worker thread is needed; the job's end (reading the
// transcript, writing the output files) happens the first time the job is
// looked at after its end time, before the answer is given.
//
// The failure switch: a source file whose name contains "cancel" ends
// cancelled, one containing "interrupt" ends interrupted, and one containing
// "fail" ends failed (compared without regard to letter case, tested in this
// order). Such jobs end halfway through their run.
//
// Files: the outputs of job <ID> go to <output directory>/<ID>/transcript.md
// and transcript.json; a failed job keeps a copy of its audio in
// <output directory>/<ID>/Recovery/. The source audio is only ever read.
//
// Thread-safety: all member functions may be called from any number of
// threads; the table is guarded by one mutex and the end of each job by a
// mutex of its own, so writing one job's files does not block other requests.
#pragma once

#include <boost/json.hpp>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tindrel::companion {

enum class JobOutcome { completed, failed, cancelled, interrupted };

// The outcome that the failure switch gives a source file name.
JobOutcome outcomeForFileName(const std::string& fileName);

struct JobRequest {
  std::filesystem::path filePath;  // absolute path of an existing regular file
  std::string idempotencyKey;      // not empty
  bool includeTimestamps = false;
  bool identifySpeakers = false;  // implies timestamps
};

class JobTable {
 public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;

  // `outputDirectory` receives the job files (created when first needed);
  // `speed` > 0 divides every job's duration; `clock` gives the time.
  JobTable(
      std::filesystem::path outputDirectory, double speed,
      Clock clock = [] { return std::chrono::system_clock::now(); });
  JobTable(const JobTable&) = delete;
  JobTable& operator=(const JobTable&) = delete;
  ~JobTable();

  struct Submission {
    boost::json::object job;  // the job's answer right after submission
    bool created = false;     // false when the key named an earlier job
  };

  // The answer for the job submitted earlier under `idempotencyKey`, or
  // nullopt when there is none.
  std::optional<boost::json::object> earlierJob(const std::string& idempotencyKey);

  // Answers the job submitted earlier under `request.idempotencyKey`, if any,
  // whatever the rest of the request says. Otherwise measures the audio and
  // queues a new job. Throws std::system_error when the audio of a new job
  // cannot be read.
  Submission submit(const JobRequest& request);

  // The answer for the job `jobId` (canonical upper-case UUID), or nullopt
  // when there is no such job.
  std::optional<boost::json::object> describe(const std::string& jobId);

  struct Counts {
    std::size_t queued = 0;
    std::size_t running = 0;
    std::size_t finished = 0;
  };
  Counts counts();

 private:
  struct Job;

  boost::json::object answer(Job& job, std::chrono::system_clock::time_point now,
                             std::size_t jobsAhead);
  void finish(Job& job);

  const std::filesystem::path outputDirectory_;
  const double speed_;
  const Clock clock_;

  std::mutex mutex_;  // guards the three members below
  std::map<std::string, std::shared_ptr<Job>> jobs_;
  std::map<std::string, std::string, std::less<>> jobIdByKey_;
  std::chrono::system_clock::time_point engineFreeAt_{};
};

}  // namespace tindrel::companion
