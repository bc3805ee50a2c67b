// The stand-in engine's transcripts: read from a sidecar file next to the
// audio when there is one, otherwise made up, deterministically, from the
// recording's duration. No speech recognition happens anywhere.
//
// Sidecar forms, looked for in this order next to the audio file:
//   <audio file>.transcript.json  {"utterances":[{"text":"...","start":0.0,
//                                 "end":1.5,"speaker":"Ana"}, ...]}
//                                 "text" is required; "start"/"end" (seconds)
//                                 and "speaker" are optional.
//   <audio file>.transcript.txt   UTF-8 text, one utterance per non-blank line.
// Missing times are spread evenly over the recording; a missing speaker is
// "Speaker 1".
//
// Thread-safety: stateless.
#pragma once

#include <boost/json.hpp>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace tindrel::companion {

struct Utterance {
  std::string text;
  double start = 0;  // seconds from the beginning of the recording
  double end = 0;
  std::string speaker;
};

enum class TranscriptSource { sidecar, synthetic };

struct Transcript {
  std::vector<Utterance> utterances;
  TranscriptSource source = TranscriptSource::synthetic;
};

// What the client asked to see in the result. Speaker labels come with times.
struct TranscriptOptions {
  bool includeTimestamps = false;
  bool identifySpeakers = false;
};

// A sidecar exists but is not a transcript this engine can read.
class SidecarError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

std::filesystem::path jsonSidecarPath(const std::filesystem::path& audio);
std::filesystem::path textSidecarPath(const std::filesystem::path& audio);

// The transcript of `audio`, whose length is `durationSeconds`. Throws
// SidecarError when a sidecar exists but is unreadable or malformed.
Transcript loadTranscript(const std::filesystem::path& audio, double durationSeconds);

// The job's inline result: {"utterances":[...], "durationSeconds", "engine",
// "transcriptSource"}. Each utterance holds "text", plus "start" and "end"
// when timestamps or speakers were asked for, plus "speaker" when speakers
// were.
boost::json::object resultJson(const Transcript& transcript, double durationSeconds,
                               const TranscriptOptions& options);

// The transcript as a Markdown document titled after `title`.
std::string resultMarkdown(const Transcript& transcript, const std::string& title,
                           const TranscriptOptions& options);

}  // namespace tindrel::companion
