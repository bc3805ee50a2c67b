#include "transcript.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

namespace tindrel::companion {
namespace {

constexpr std::uintmax_t kMaxSidecarBytes = 16 * 1024 * 1024;
constexpr double kSyntheticSegmentSeconds = 5;
constexpr const char* kDefaultSpeaker = "Speaker 1";

double roundToMilliseconds(double seconds) { return std::round(seconds * 1000) / 1000; }

// Reads a whole sidecar file, or nullopt when there is none.
std::optional<std::string> readSidecar(const std::filesystem::path& path) {
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return std::nullopt;
  if (!std::filesystem::is_regular_file(path, error)) {
    throw SidecarError("The sidecar transcript is not a regular file.");
  }
  const std::uintmax_t size = std::filesystem::file_size(path, error);
  if (error || size > kMaxSidecarBytes) throw SidecarError("The sidecar transcript is too large.");
  std::ifstream in(path, std::ios::binary);
  if (!in) throw SidecarError("The sidecar transcript cannot be read.");
  std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  if (in.bad()) throw SidecarError("The sidecar transcript cannot be read.");
  return text;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = 0;
    std::uint32_t scalar = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, scalar = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, scalar = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, scalar = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      scalar = scalar << 6 | (next & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (scalar < kSmallest[length] || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

void spreadEvenly(Utterance& utterance, std::size_t index, std::size_t count, double duration) {
  utterance.start = duration * static_cast<double>(index) / static_cast<double>(count);
  utterance.end = duration * static_cast<double>(index + 1) / static_cast<double>(count);
}

std::vector<Utterance> parseJsonSidecar(const std::string& text, double duration) {
  boost::system::error_code error;
  const boost::json::value document = boost::json::parse(text, error);
  const boost::json::object* object = error ? nullptr : document.if_object();
  const boost::json::value* list = object ? object->if_contains("utterances") : nullptr;
  if (list == nullptr || !list->is_array()) {
    throw SidecarError("The sidecar transcript must be a JSON object with an utterances array.");
  }
  const boost::json::array& elements = list->get_array();
  std::vector<Utterance> utterances;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const boost::json::object* element = elements[i].if_object();
    const boost::json::value* textValue = element ? element->if_contains("text") : nullptr;
    if (textValue == nullptr || !textValue->is_string()) {
      throw SidecarError("Every sidecar utterance must be an object with a text string.");
    }
    Utterance utterance;
    utterance.text = std::string(textValue->get_string());
    spreadEvenly(utterance, i, elements.size(), duration);
    const boost::json::value* start = element->if_contains("start");
    const boost::json::value* end = element->if_contains("end");
    if (start != nullptr || end != nullptr) {
      if (start == nullptr || end == nullptr || !start->is_number() || !end->is_number()) {
        throw SidecarError("Sidecar utterance times must be given as start and end numbers.");
      }
      utterance.start = start->to_number<double>();
      utterance.end = end->to_number<double>();
      if (!(utterance.start >= 0 && utterance.end >= utterance.start) ||
          !std::isfinite(utterance.end)) {
        throw SidecarError("Sidecar utterance times must satisfy 0 <= start <= end.");
      }
    }
    utterance.speaker = kDefaultSpeaker;
    if (const boost::json::value* speaker = element->if_contains("speaker")) {
      if (!speaker->is_string()) throw SidecarError("A sidecar speaker must be a string.");
      utterance.speaker = std::string(speaker->get_string());
    }
    utterances.push_back(std::move(utterance));
  }
  return utterances;
}

std::vector<Utterance> parseTextSidecar(const std::string& text, double duration) {
  if (!isValidUtf8(text)) throw SidecarError("The sidecar transcript is not UTF-8 text.");
  std::vector<std::string> lines;
  std::size_t begin = 0;
  while (begin <= text.size()) {
    std::size_t end = text.find('\n', begin);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(begin, end - begin);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") != std::string::npos) lines.push_back(std::move(line));
    begin = end + 1;
  }
  std::vector<Utterance> utterances(lines.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    utterances[i].text = std::move(lines[i]);
    utterances[i].speaker = kDefaultSpeaker;
    spreadEvenly(utterances[i], i, lines.size(), duration);
  }
  return utterances;
}

std::vector<Utterance> synthesize(double duration) {
  const auto count = static_cast<std::size_t>(
      std::max(1.0, std::ceil(duration / kSyntheticSegmentSeconds - 1e-9)));
  std::vector<Utterance> utterances(count);
  for (std::size_t i = 0; i < count; ++i) {
    Utterance& utterance = utterances[i];
    utterance.start = std::min(duration, kSyntheticSegmentSeconds * static_cast<double>(i));
    utterance.end = std::min(duration, kSyntheticSegmentSeconds * static_cast<double>(i + 1));
    utterance.speaker = i % 2 == 0 ? "Speaker 1" : "Speaker 2";
    char text[160];
    std::snprintf(text, sizeof text,
                  "Synthetic utterance %zu of %zu from the stand-in engine "
                  "(audio %.1f s to %.1f s); no speech was recognised.",
                  i + 1, count, utterance.start, utterance.end);
    utterance.text = text;
  }
  return utterances;
}

std::string clockTime(double seconds) {
  const auto tenths = static_cast<long long>(std::llround(seconds * 10));
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld.%lld", tenths / 600, tenths / 10 % 60, tenths % 10);
  return text;
}

}  // namespace

std::filesystem::path jsonSidecarPath(const std::filesystem::path& audio) {
  return std::filesystem::path(audio.string() + ".transcript.json");
}

std::filesystem::path textSidecarPath(const std::filesystem::path& audio) {
  return std::filesystem::path(audio.string() + ".transcript.txt");
}

Transcript loadTranscript(const std::filesystem::path& audio, double durationSeconds) {
  if (const std::optional<std::string> text = readSidecar(jsonSidecarPath(audio))) {
    return Transcript{parseJsonSidecar(*text, durationSeconds), TranscriptSource::sidecar};
  }
  if (const std::optional<std::string> text = readSidecar(textSidecarPath(audio))) {
    return Transcript{parseTextSidecar(*text, durationSeconds), TranscriptSource::sidecar};
  }
  return Transcript{synthesize(durationSeconds), TranscriptSource::synthetic};
}

boost::json::object resultJson(const Transcript& transcript, double durationSeconds,
                               const TranscriptOptions& options) {
  const bool withTimes = options.includeTimestamps || options.identifySpeakers;
  boost::json::array utterances;
  for (const Utterance& utterance : transcript.utterances) {
    boost::json::object entry;
    entry["text"] = utterance.text;
    if (withTimes) {
      entry["start"] = roundToMilliseconds(utterance.start);
      entry["end"] = roundToMilliseconds(utterance.end);
    }
    if (options.identifySpeakers) entry["speaker"] = utterance.speaker;
    utterances.push_back(std::move(entry));
  }
  boost::json::object result;
  result["utterances"] = std::move(utterances);
  result["durationSeconds"] = roundToMilliseconds(durationSeconds);
  result["engine"] = "stand-in";
  result["transcriptSource"] =
      transcript.source == TranscriptSource::sidecar ? "sidecar" : "synthetic";
  return result;
}

std::string resultMarkdown(const Transcript& transcript, const std::string& title,
                           const TranscriptOptions& options) {
  const bool withTimes = options.includeTimestamps || options.identifySpeakers;
  std::string out = "# Transcript of " + title + "\n\n";
  for (const Utterance& utterance : transcript.utterances) {
    if (withTimes) out += "[" + clockTime(utterance.start) + "–" + clockTime(utterance.end) + "] ";
    if (options.identifySpeakers) out += "**" + utterance.speaker + ":** ";
    out += utterance.text + "\n\n";
  }
  return out;
}

}  // namespace tindrel::companion
