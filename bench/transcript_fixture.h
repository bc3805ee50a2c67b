// A completed transcription job for the benchmarks: a deterministic transcript
// of an exact number of Unicode scalars that mixes ASCII, Latin letters with
// combining marks, CJK, emoji sequences and characters beyond the Basic
// Multilingual Plane, shaped like the app's job answer.
//
// Thread-safety: stateless; the functions may be called from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "json/json_value.h"

namespace tindrel::bench {

// The job id the stand-in service knows (canonical upper-case form).
inline constexpr const char* kBenchJobId = "5A0C6E1B-8E55-4C2B-9F7A-3D1E2B4C6A70";

// The texts of the utterances, in order. Joined with one line feed between
// them they hold exactly `scalars` Unicode scalars (the line feeds included).
std::vector<std::string> makeUtteranceTexts(std::size_t scalars);

// The utterance texts joined with line feeds: the "text" transcript.
std::string joinUtterances(const std::vector<std::string>& texts);

// The inline `result` object: language, duration and the utterances, each
// with start and end times, a speaker label and its text.
JsonValue makeResult(const std::vector<std::string>& texts);

// The whole answer of GET /api/v1/jobs/<id> for a completed job holding
// `result`, with the members the app sends beside it.
JsonValue makeCompletedJobAnswer(JsonValue result);

}  // namespace tindrel::bench
