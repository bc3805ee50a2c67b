#include "transcript_fixture.h"

#include <cstdint>
#include <string_view>
#include <utility>

#include "text/unicode.h"

namespace tindrel::bench {
namespace {

// Words of a multilingual transcript. Each entry is followed by a space when
// it is used, except at the end of an utterance.
constexpr std::string_view kWords[] = {
    "the",
    "meeting",
    "starts",
    "now",
    "and",
    "we",
    "will",
    "review",
    "café",
    "naïve",
    "Grüße",
    "señor",
    "re\u0301sume\u0301",
    "日本語",
    "会議",
    "한국어",
    "Привет",
    "مرحبا",
    "😀",
    "👩\u200d💻",
    "𝄞",
    "𝔘𝔫𝔦𝔠𝔬𝔡𝔢",
    "🇫🇷",
    "quarterly",
    "numbers",
    "look",
    "\"good\"",
    "back\\slash",
    "path/to/file",
    "tab\there",
    "ok",
    "é",
    "∑",
    "½",
};
constexpr std::size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);

// A small linear congruential generator: the same transcript on every run.
struct Sequence {
  std::uint64_t state = 0x2545F4914F6CDD1DULL;
  std::size_t next(std::size_t bound) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::size_t>((state >> 33) % bound);
  }
};

}  // namespace

std::vector<std::string> makeUtteranceTexts(std::size_t scalars) {
  std::vector<std::string> texts;
  Sequence random;
  std::size_t used = 0;  // Scalars so far, line feeds between utterances included.
  while (used < scalars) {
    if (!texts.empty()) ++used;  // The line feed before this utterance.
    std::string text;
    std::size_t length = 0;
    const std::size_t wanted = 40 + random.next(160);
    while (length < wanted && used + length < scalars) {
      std::string_view word = kWords[random.next(kWordCount)];
      std::size_t wordScalars = countScalars(word);
      const bool first = text.empty();
      const std::size_t room = scalars - used - length - (first ? 0 : 1);
      if (wordScalars > room) {
        // Fill the exact remainder with ASCII so that the total is exact.
        word = std::string_view("xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx").substr(0, room);
        wordScalars = room;
      }
      if (!first) {
        text.push_back(' ');
        ++length;
      }
      text.append(word);
      length += wordScalars;
    }
    used += length;
    texts.push_back(std::move(text));
  }
  return texts;
}

std::string joinUtterances(const std::vector<std::string>& texts) {
  std::string joined;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i != 0) joined.push_back('\n');
    joined.append(texts[i]);
  }
  return joined;
}

JsonValue makeResult(const std::vector<std::string>& texts) {
  JsonArray utterances;
  utterances.reserve(texts.size());
  double clock = 0.0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const double duration = 1.25 + static_cast<double>(i % 7) * 0.37;
    JsonObject utterance;
    utterance.emplace("start", clock);
    utterance.emplace("end", clock + duration);
    utterance.emplace("speaker", i % 3 == 0 ? "SPEAKER_1" : "SPEAKER_2");
    utterance.emplace("text", texts[i]);
    utterances.emplace_back(std::move(utterance));
    clock += duration + 0.1;
  }
  JsonObject result;
  result.emplace("language", "en");
  result.emplace("durationSeconds", clock);
  result.emplace("utterances", std::move(utterances));
  return result;
}

JsonValue makeCompletedJobAnswer(JsonValue result) {
  JsonObject job;
  job.emplace("jobId", kBenchJobId);
  job.emplace("status", "completed");
  job.emplace("progress", 1.0);
  job.emplace("progressDescription", "Transcription finished.");
  job.emplace("agentMessage", "The transcript is ready.");
  job.emplace("createdAt", "2025-01-01T10:00:00Z");
  job.emplace("completedAt", "2025-01-01T10:42:17Z");
  job.emplace("sourceFilePath", "/Users/bench/Recordings/quarterly review.m4a");
  job.emplace("outputMarkdownPath", "/Users/bench/Documents/Tindrel/quarterly review.md");
  job.emplace("outputJSONPath", "/Users/bench/Documents/Tindrel/quarterly review.json");
  job.emplace("result", std::move(result));
  return job;
}

}  // namespace tindrel::bench
