#include "job_table.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <system_error>

#include "audio_probe.h"
#include "companion_texts.h"
#include "json_text.h"
#include "private_files.h"
#include "secure_random.h"
#include "transcript.h"

namespace tindrel::companion {

using TimePoint = std::chrono::system_clock::time_point;
using Seconds = std::chrono::duration<double>;

struct JobTable::Job {
  std::string id;
  JobRequest request;
  AudioInfo audio;
  JobOutcome outcome = JobOutcome::completed;
  TimePoint createdAt;
  TimePoint startAt;     // leaves the queue
  TimePoint endAt;       // reaches its final state
  Seconds plannedRun{};  // the whole run, also for jobs that end halfway

  std::mutex endMutex;  // guards the three members below
  bool ended = false;
  std::string finalStatus;
  boost::json::object finalMembers;
};

namespace {

// Every job waits at least this long (divided by the speed) in the queue, so
// that clients see it queued before it runs.
constexpr Seconds kMinimumQueueTime{0.5};
// Speaker identification makes a run this much longer; it is its last part.
constexpr double kSpeakerRunFactor = 1.5;

std::string isoTime(TimePoint time) {
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  const std::time_t seconds =
      static_cast<std::time_t>(milliseconds / 1000 - (milliseconds % 1000 < 0 ? 1 : 0));
  std::tm parts{};
  ::gmtime_r(&seconds, &parts);
  char text[40];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  std::snprintf(text + length, sizeof text - length, ".%03dZ",
                static_cast<int>((milliseconds % 1000 + 1000) % 1000));
  return text;
}

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

const char* statusName(JobOutcome outcome) {
  switch (outcome) {
    case JobOutcome::completed:
      return "completed";
    case JobOutcome::failed:
      return "failed";
    case JobOutcome::cancelled:
      return "cancelled";
    case JobOutcome::interrupted:
      return "interrupted";
  }
  return "failed";
}

void putEndTexts(boost::json::object& members, const JobEndText& text) {
  if (text.errorCode != nullptr) members["errorCode"] = text.errorCode;
  members["error"] = text.error;
  members["recoverySuggestion"] = text.recoverySuggestion;
}

}  // namespace

JobOutcome outcomeForFileName(const std::string& fileName) {
  const std::string name = lowerCase(fileName);
  if (name.find("cancel") != std::string::npos) return JobOutcome::cancelled;
  if (name.find("interrupt") != std::string::npos) return JobOutcome::interrupted;
  if (name.find("fail") != std::string::npos) return JobOutcome::failed;
  return JobOutcome::completed;
}

JobTable::JobTable(std::filesystem::path outputDirectory, double speed, Clock clock)
    : outputDirectory_(std::move(outputDirectory)), speed_(speed), clock_(std::move(clock)) {}

JobTable::~JobTable() = default;

std::optional<boost::json::object> JobTable::earlierJob(const std::string& idempotencyKey) {
  std::string id;
  {
    std::lock_guard lock(mutex_);
    const auto it = jobIdByKey_.find(idempotencyKey);
    if (it == jobIdByKey_.end()) return std::nullopt;
    id = it->second;
  }
  return describe(id);
}

JobTable::Submission JobTable::submit(const JobRequest& request) {
  if (std::optional<boost::json::object> earlier = earlierJob(request.idempotencyKey)) {
    return Submission{std::move(*earlier), false};
  }

  // Measured outside the lock: reading a header can be slow on a network
  // volume, and other requests must not wait for it.
  const AudioInfo audio = probeAudio(request.filePath);

  auto job = std::make_shared<Job>();
  job->id = randomUuidUpper();
  job->request = request;
  job->audio = audio;
  job->outcome = outcomeForFileName(request.filePath.filename().string());
  job->plannedRun = Seconds(std::max(1.0, audio.durationSeconds) / speed_ *
                            (request.identifySpeakers ? kSpeakerRunFactor : 1.0));

  std::unique_lock lock(mutex_);
  // Another request with the same key may have queued its job while the
  // audio was measured: the first one wins.
  if (const auto it = jobIdByKey_.find(request.idempotencyKey); it != jobIdByKey_.end()) {
    const std::string id = it->second;
    lock.unlock();
    return Submission{*describe(id), false};
  }
  const TimePoint now = clock_();
  job->createdAt = now;
  const auto queueTime =
      std::chrono::duration_cast<TimePoint::duration>(kMinimumQueueTime / speed_);
  job->startAt = std::max(now + queueTime, engineFreeAt_);
  const Seconds run = job->outcome == JobOutcome::completed ? job->plannedRun : job->plannedRun / 2;
  job->endAt = job->startAt + std::chrono::duration_cast<TimePoint::duration>(run);
  engineFreeAt_ = job->endAt;
  jobs_.emplace(job->id, job);
  jobIdByKey_.emplace(request.idempotencyKey, job->id);
  lock.unlock();
  return Submission{*describe(job->id), true};
}

std::optional<boost::json::object> JobTable::describe(const std::string& jobId) {
  std::shared_ptr<Job> job;
  std::size_t jobsAhead = 0;
  const TimePoint now = clock_();
  {
    std::lock_guard lock(mutex_);
    const auto it = jobs_.find(jobId);
    if (it == jobs_.end()) return std::nullopt;
    job = it->second;
    if (now < job->startAt) {
      jobsAhead = static_cast<std::size_t>(
          std::count_if(jobs_.begin(), jobs_.end(), [&](const auto& entry) {
            return entry.second->startAt < job->startAt && entry.second->endAt > now;
          }));
    }
  }
  return answer(*job, now, jobsAhead);
}

JobTable::Counts JobTable::counts() {
  Counts counts;
  const TimePoint now = clock_();
  std::lock_guard lock(mutex_);
  for (const auto& entry : jobs_) {
    const Job& job = *entry.second;
    if (now < job.startAt) {
      ++counts.queued;
    } else if (now < job.endAt) {
      ++counts.running;
    } else {
      ++counts.finished;
    }
  }
  return counts;
}

boost::json::object JobTable::answer(Job& job, TimePoint now, std::size_t jobsAhead) {
  const bool withSpeakers = job.request.identifySpeakers;
  boost::json::object out;
  out["jobId"] = job.id;
  out["sourceFilePath"] = job.request.filePath.string();
  out["idempotencyKey"] = job.request.idempotencyKey;
  out["includeTimestamps"] = job.request.includeTimestamps || withSpeakers;
  out["identifySpeakers"] = withSpeakers;
  out["audioDurationSeconds"] = std::round(job.audio.durationSeconds * 1000) / 1000;
  out["createdAt"] = isoTime(job.createdAt);

  if (now < job.startAt) {
    out["status"] = "queued";
    out["progress"] = 0.0;
    out["progressDescription"] =
        jobsAhead > 0 ? job_texts::kQueuedBehindDescription : job_texts::kQueuedDescription;
    out["jobsAhead"] = jobsAhead;
    out["agentMessage"] = job_texts::kQueuedMessage;
    out["heartbeatAt"] = isoTime(now);
    return out;
  }

  const double runFraction = std::clamp(Seconds(now - job.startAt) / job.plannedRun, 0.0, 1.0);
  if (now < job.endAt) {
    out["status"] = "running";
    // Never 1 while running: 1 means the transcript exists.
    const double progress = std::min(0.99, std::floor(runFraction * 100) / 100);
    out["progress"] = progress;
    out["progressDescription"] = withSpeakers && runFraction >= 1 / kSpeakerRunFactor
                                     ? job_texts::kSpeakersDescription
                                     : job_texts::kTranscribingDescription;
    out["startedAt"] = isoTime(job.startAt);
    out["agentMessage"] = job_texts::kRunningMessage;
    out["heartbeatAt"] = isoTime(now);
    return out;
  }

  std::lock_guard lock(job.endMutex);
  if (!job.ended) finish(job);
  out["status"] = job.finalStatus;
  out["startedAt"] = isoTime(job.startAt);
  out["finishedAt"] = isoTime(job.endAt);
  out["heartbeatAt"] = isoTime(job.endAt);
  for (const auto& member : job.finalMembers) out[member.key()] = member.value();
  return out;
}

void JobTable::finish(Job& job) {
  boost::json::object members;
  const std::filesystem::path jobDirectory = outputDirectory_ / job.id;
  const auto endWith = [&](const char* status, const JobEndText& text) {
    job.finalStatus = status;
    members["progress"] = job.outcome == JobOutcome::completed ? 1.0 : 0.5;
    members["progressDescription"] = job_texts::kEndedDescription;
    members["agentMessage"] = job_texts::kEndedMessage;
    putEndTexts(members, text);
  };

  switch (job.outcome) {
    case JobOutcome::completed: {
      const TranscriptOptions options{job.request.includeTimestamps, job.request.identifySpeakers};
      const double duration = job.audio.durationSeconds > 0 ? job.audio.durationSeconds : 1.0;
      try {
        const Transcript transcript = loadTranscript(job.request.filePath, duration);
        boost::json::object result = resultJson(transcript, duration, options);
        const std::filesystem::path markdownPath = jobDirectory / "transcript.md";
        const std::filesystem::path jsonPath = jobDirectory / "transcript.json";
        try {
          writePrivateFileAtomically(
              markdownPath,
              resultMarkdown(transcript, job.request.filePath.filename().string(), options));
          writePrivateFileAtomically(jsonPath, toJsonText(result) + "\n");
          job.finalStatus = "completed";
          members["progress"] = 1.0;
          members["progressDescription"] = job_texts::kCompletedDescription;
          members["agentMessage"] = job_texts::kCompletedMessage;
          members["outputMarkdownPath"] = markdownPath.string();
          members["outputJSONPath"] = jsonPath.string();
          members["result"] = std::move(result);
        } catch (const std::exception&) {
          endWith("failed", job_texts::kOutputFailed);
        }
      } catch (const SidecarError&) {
        endWith("failed", job_texts::kSidecarInvalid);
      }
      break;
    }
    case JobOutcome::failed: {
      endWith("failed", job_texts::kEngineFailed);
      // The app keeps a copy of audio whose job failed, so that it can be
      // retried even if the original moves. Without a copy the client falls
      // back on sourceFilePath.
      const std::filesystem::path copy =
          jobDirectory / "Recovery" / job.request.filePath.filename();
      try {
        createPrivateDirectories(copy.parent_path());
        std::filesystem::copy_file(job.request.filePath, copy);
        members["recoveryFilePath"] = copy.string();
      } catch (const std::exception&) {
      }
      break;
    }
    case JobOutcome::cancelled:
      endWith(statusName(job.outcome), job_texts::kCancelled);
      break;
    case JobOutcome::interrupted:
      endWith(statusName(job.outcome), job_texts::kInterrupted);
      break;
  }
  job.finalMembers = std::move(members);
  job.ended = true;
}

}  // namespace tindrel::companion
