#include "entry/command_line.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tindrel {
namespace {

CommandLine parse(const std::vector<std::string_view>& arguments, std::string_view home = "/h") {
  return parseCommandLine(arguments, home);
}

TEST(CommandLine, DecidesTheActionAndTheLocation) {
  struct Case {
    std::vector<std::string_view> arguments;
    CommandLine::Action action;
    std::string path;
  };
  const std::vector<Case> cases = {
      {{},
       CommandLine::Action::serve,
       "/h/Library/Application Support/Tindrel/Agent/connection.json"},
      {{"--help"}, CommandLine::Action::help, ""},
      {{"--connection", "/c.json"}, CommandLine::Action::serve, "/c.json"},
      // Taken unchanged: not resolved, normalised or checked.
      {{"--connection", "/a/../b c/./x.json"}, CommandLine::Action::serve, "/a/../b c/./x.json"},
      {{"--connection", "/"}, CommandLine::Action::serve, "/"},
      {{"--help", "--help"}, CommandLine::Action::invalid, ""},
      {{"--help", "x"}, CommandLine::Action::invalid, ""},
      {{"-h"}, CommandLine::Action::invalid, ""},
      {{"--connection"}, CommandLine::Action::invalid, ""},
      {{"--connection", "c.json"}, CommandLine::Action::invalid, ""},
      {{"--connection", "~/c.json"}, CommandLine::Action::invalid, ""},
      {{"--connection", ""}, CommandLine::Action::invalid, ""},
      {{"--connection=/c.json"}, CommandLine::Action::invalid, ""},
      {{"--connection", "/c.json", "/d.json"}, CommandLine::Action::invalid, ""},
      {{"--connection", "/c.json", "--help"}, CommandLine::Action::invalid, ""},
      {{"/c.json"}, CommandLine::Action::invalid, ""},
  };
  for (const Case& testCase : cases) {
    const CommandLine result = parse(testCase.arguments);
    const std::string shown = ::testing::PrintToString(testCase.arguments);
    EXPECT_EQ(result.action, testCase.action) << shown;
    EXPECT_EQ(result.connectionPath, testCase.path) << shown;
  }
}

TEST(CommandLine, DefaultLocationIsFiveComponentsUnderTheHomeDirectory) {
  for (const std::string_view home : {"/Users/ada", "/Users/ada/"}) {
    EXPECT_EQ(parse({}, home).connectionPath,
              "/Users/ada/Library/Application Support/Tindrel/Agent/connection.json")
        << home;
  }
  EXPECT_EQ(parse({}, "/").connectionPath,
            "/Library/Application Support/Tindrel/Agent/connection.json");
}

// Restores $HOME when the test ends.
class HomeVariable {
 public:
  HomeVariable() {
    if (const char* home = std::getenv("HOME")) saved_ = home;
  }
  ~HomeVariable() {
    if (saved_) {
      ::setenv("HOME", saved_->c_str(), 1);
    } else {
      ::unsetenv("HOME");
    }
  }

 private:
  std::optional<std::string> saved_;
};

TEST(CommandLine, HomeDirectoryComesFromHomeOrElseTheUserDatabase) {
  const HomeVariable restore;
  ::setenv("HOME", "/some/home", 1);
  EXPECT_EQ(currentHomeDirectory(), "/some/home");

  const passwd* entry = ::getpwuid(::getuid());
  const std::string fromDatabase =
      entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "/";
  for (const char* unusable : {"", "relative/home"}) {
    ::setenv("HOME", unusable, 1);
    EXPECT_EQ(currentHomeDirectory(), fromDatabase) << '"' << unusable << '"';
  }
  ::unsetenv("HOME");
  EXPECT_EQ(currentHomeDirectory(), fromDatabase);
}

}  // namespace
}  // namespace tindrel
