// Measuring recordings, reading sidecar transcripts, and the private files
// the service writes.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "audio_probe.h"
#include "companion_test_support.h"
#include "connection_file.h"
#include "gtest/gtest.h"
#include "options.h"
#include "private_files.h"
#include "transcript.h"

namespace tindrel::companion {
namespace {

using testing::readFile;
using testing::writeFile;
using testing::writeWav;

TEST(AudioProbe, MeasuresWavHeadersAndEstimatesOtherFiles) {
  testing::TemporaryDirectory dir;
  writeWav(dir.path() / "plain.wav", 1.5);
  writeWav(dir.path() / "list.wav", 2.0, /*extraChunk=*/true);
  writeFile(dir.path() / "clip.m4a", std::string(32000, 'x'));  // not a WAV: 16,000 bytes/s
  writeFile(dir.path() / "truncated.wav", "RIFF\x10\0\0\0WAVEfmt ");

  EXPECT_DOUBLE_EQ(probeAudio(dir.path() / "plain.wav").durationSeconds, 1.5);
  EXPECT_TRUE(probeAudio(dir.path() / "plain.wav").isWav);
  EXPECT_DOUBLE_EQ(probeAudio(dir.path() / "list.wav").durationSeconds, 2.0);
  EXPECT_DOUBLE_EQ(probeAudio(dir.path() / "clip.m4a").durationSeconds, 2.0);
  EXPECT_FALSE(probeAudio(dir.path() / "clip.m4a").isWav);
  EXPECT_FALSE(probeAudio(dir.path() / "truncated.wav").isWav);
  EXPECT_THROW(probeAudio(dir.path() / "missing.wav"), std::system_error);
}

TEST(Transcript, ReadsJsonSidecarFillingMissingTimesAndSpeakers) {
  testing::TemporaryDirectory dir;
  const auto audio = dir.path() / "talk.wav";
  writeFile(jsonSidecarPath(audio), R"({"utterances":[
      {"text":"Hi there.","start":0.5,"end":1.25,"speaker":"Ana"},
      {"text":"Hello, Ana."}]})");
  writeFile(textSidecarPath(audio), "ignored when a JSON sidecar exists\n");

  const Transcript transcript = loadTranscript(audio, 4.0);
  EXPECT_EQ(transcript.source, TranscriptSource::sidecar);
  ASSERT_EQ(transcript.utterances.size(), 2u);
  EXPECT_EQ(transcript.utterances[0].text, "Hi there.");
  EXPECT_EQ(transcript.utterances[0].speaker, "Ana");
  EXPECT_DOUBLE_EQ(transcript.utterances[0].start, 0.5);
  EXPECT_DOUBLE_EQ(transcript.utterances[0].end, 1.25);
  EXPECT_EQ(transcript.utterances[1].speaker, "Speaker 1");
  EXPECT_DOUBLE_EQ(transcript.utterances[1].start, 2.0);  // second half of the recording
  EXPECT_DOUBLE_EQ(transcript.utterances[1].end, 4.0);
}

TEST(Transcript, ReadsTextSidecarOneUtterancePerNonBlankLine) {
  testing::TemporaryDirectory dir;
  const auto audio = dir.path() / "note.m4a";
  writeFile(textSidecarPath(audio),
            "Erste Zeile.\r\n\n   \nこんにちは 👋\nlast line without newline");
  const Transcript transcript = loadTranscript(audio, 3.0);
  std::vector<std::string> texts;
  for (const Utterance& utterance : transcript.utterances) texts.push_back(utterance.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"Erste Zeile.", "こんにちは 👋",
                                             "last line without newline"}));
  EXPECT_DOUBLE_EQ(transcript.utterances[2].end, 3.0);
}

TEST(Transcript, RefusesMalformedSidecars) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {".transcript.json", "not json"},
      {".transcript.json", R"({"utterances":{"text":"x"}})"},
      {".transcript.json", R"({"utterances":[{"text":3}]})"},
      {".transcript.json", R"({"utterances":["plain"]})"},
      {".transcript.json", R"({"utterances":[{"text":"x","start":1}]})"},
      {".transcript.json", R"({"utterances":[{"text":"x","start":2,"end":1}]})"},
      {".transcript.json", R"({"utterances":[{"text":"x","speaker":1}]})"},
      {".transcript.txt", "bad \xC3\x28 byte"},
      {".transcript.txt", "surrogate \xED\xA0\x80"},
  };
  for (const auto& [suffix, contents] : cases) {
    testing::TemporaryDirectory dir;
    const auto audio = dir.path() / "a.wav";
    writeFile(audio.string() + suffix, contents);
    EXPECT_THROW(loadTranscript(audio, 1.0), SidecarError) << contents;
  }
}

TEST(Transcript, SynthesizesFromTheDurationDeterministically) {
  testing::TemporaryDirectory dir;
  const auto audio = dir.path() / "nothing-beside-me.wav";
  const Transcript transcript = loadTranscript(audio, 12.0);
  EXPECT_EQ(transcript.source, TranscriptSource::synthetic);
  ASSERT_EQ(transcript.utterances.size(), 3u);
  EXPECT_DOUBLE_EQ(transcript.utterances.front().start, 0.0);
  EXPECT_DOUBLE_EQ(transcript.utterances.back().end, 12.0);
  EXPECT_NE(transcript.utterances[0].speaker, transcript.utterances[1].speaker);
  EXPECT_NE(transcript.utterances[0].text.find("Synthetic"), std::string::npos);
  EXPECT_EQ(loadTranscript(audio, 12.0).utterances[2].text, transcript.utterances[2].text);
  EXPECT_EQ(loadTranscript(audio, 0.2).utterances.size(), 1u);
}

TEST(PrivateFiles, WriteReplacesAtomicallyWithOwnerOnlyModes) {
  testing::TemporaryDirectory dir;
  const auto path = dir.path() / "new" / "nested" / "connection.json";
  writePrivateFileAtomically(path, "first");
  writePrivateFileAtomically(path, "second");
  EXPECT_EQ(readFile(path), "second");
  struct stat attributes {};
  ASSERT_EQ(::stat(path.c_str(), &attributes), 0);
  EXPECT_EQ(attributes.st_mode & 0777, 0600u);
  for (const auto& directory : {dir.path() / "new", dir.path() / "new" / "nested"}) {
    ASSERT_EQ(::stat(directory.c_str(), &attributes), 0);
    EXPECT_EQ(attributes.st_mode & 0777, 0700u) << directory;
  }
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(path.parent_path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(ConnectionFile, HoldsTheFourMembersAndIsRemovedOnlyWhileUnchanged) {
  EXPECT_EQ(connectionFileContents(8765, "abc"),
            R"({"apiVersion":"v1","authorizationHeader":"Bearer abc",)"
            R"("baseURL":"http://127.0.0.1:8765","localOnly":true})");
  testing::TemporaryDirectory dir;
  const auto path = dir.path() / "connection.json";
  const std::string ours = connectionFileContents(1, "ours");
  writePrivateFileAtomically(path, connectionFileContents(2, "another instance"));
  EXPECT_FALSE(removeConnectionFileIfUnchanged(path, ours));
  EXPECT_TRUE(std::filesystem::exists(path));
  writePrivateFileAtomically(path, ours);
  EXPECT_TRUE(removeConnectionFileIfUnchanged(path, ours));
  EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(Options, AcceptsTheDocumentedFormsOnly) {
  std::string error;
  const auto options =
      parseOptions({"--connection", "/tmp/c.json", "--port", "8765", "--speed", "2.5"}, error);
  ASSERT_TRUE(options);
  EXPECT_EQ(options->connection, std::filesystem::path("/tmp/c.json"));
  EXPECT_EQ(options->port, 8765);
  EXPECT_DOUBLE_EQ(options->speed, 2.5);
  EXPECT_TRUE(parseOptions({"--help"}, error)->help);

  const std::vector<std::vector<std::string>> refused = {
      {"--connection", "relative.json"},
      {"--connection"},
      {"--port", "65536"},
      {"--port", "-1"},
      {"--port", "80x"},
      {"--speed", "0"},
      {"--speed", "-2"},
      {"--speed", "fast"},
      {"--speed", "inf"},
      {"--help", "--port", "1"},
      {"--verbose"},
  };
  for (const auto& arguments : refused) {
    EXPECT_FALSE(parseOptions(arguments, error)) << arguments.front();
  }
}

}  // namespace
}  // namespace tindrel::companion
