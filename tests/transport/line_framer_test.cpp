#include "transport/line_framer.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tindrel {
namespace {

struct FramingCase {
  const char* name;
  std::vector<std::string> chunks;
  std::vector<std::string> messages;
  std::string pending;
};

TEST(LineFramer, FramesChunksIntoMessages) {
  const std::string big(200000, 'x');
  const std::vector<FramingCase> cases = {
      {"one line", {"{}\n"}, {"{}"}, ""},
      {"empty lines skipped", {"\n\n{}\n"}, {"{}"}, ""},
      {"carriage return kept", {"{}\r\n"}, {"{}\r"}, ""},
      {"spaces kept", {"  {} \n"}, {"  {} "}, ""},
      {"several lines in one chunk", {"a\nb\nc\n"}, {"a", "b", "c"}, ""},
      {"line split across chunks", {"{\"a\"", ":1", "}\n"}, {"{\"a\":1}"}, ""},
      {"line feed alone in a chunk", {"ab", "\n"}, {"ab"}, ""},
      {"chunk ends a line and starts the next", {"a\nb", "c\nd"}, {"a", "bc"}, "d"},
      {"last line without line feed held back", {"a\nbc"}, {"a"}, "bc"},
      {"empty line after a split line", {"a", "\n\n"}, {"a"}, ""},
      {"bytes not examined", {std::string("\xff\0z\n", 4)}, {std::string("\xff\0z", 3)}, ""},
      {"long line in many chunks", {big.substr(0, 70000), big.substr(70000), "\n"}, {big}, ""},
  };
  for (const FramingCase& testCase : cases) {
    LineFramer framer;
    std::vector<std::string> messages;
    for (const std::string& chunk : testCase.chunks) {
      framer.append(chunk.data(), chunk.size(), messages);
    }
    EXPECT_EQ(messages, testCase.messages) << testCase.name;
    EXPECT_EQ(framer.pending(), testCase.pending) << testCase.name;
  }
}

TEST(LineFramer, DeliversALineOnlyWhenItsLineFeedArrives) {
  LineFramer framer;
  std::vector<std::string> messages;
  framer.append("{\"id\":", 6, messages);
  EXPECT_TRUE(messages.empty());
  framer.append("1}", 2, messages);
  EXPECT_TRUE(messages.empty());
  framer.append("\n{", 2, messages);
  EXPECT_EQ(messages, std::vector<std::string>{"{\"id\":1}"});
}

}  // namespace
}  // namespace tindrel
