// The command line of the built binary: usage, invalid lists, start failures.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "process/process_harness.h"

namespace tindrel::testing {
namespace {

const std::string kUsage =
    "Tindrel local MCP server (stdio)\n"
    "Usage: tindrel-mcp [--connection /absolute/path/to/connection.json]\n"
    "Open Tindrel first. No credentials belong in the MCP client configuration.\n";
const std::string kInvalid = "Invalid arguments. Use tindrel-mcp --help.\n";
const std::string kStopped = "Tindrel MCP transport stopped. Reconnect the MCP client.\n";

TEST(CommandLineProcess, HelpWritesUsageWithoutReadingInput) {
  // Standard input stays open and empty: a server that read it would hang.
  ServerProcess server(std::vector<std::string>{"--help"});
  EXPECT_EQ(server.waitForExit(), 0);
  EXPECT_EQ(server.readErrorToEnd(), kUsage);
  EXPECT_EQ(server.readOutputToEnd(), "");
}

TEST(CommandLineProcess, InvalidArgumentListsExitTwo) {
  const std::vector<std::vector<std::string>> lists = {
      {"--help", "--help"},
      {"--help", "--connection", "/tmp/c.json"},
      {"--connection", "/tmp/c.json", "--help"},
      {"-h"},
      {"--HELP"},
      {"help"},
      {"--connection"},
      {"--connection", "relative/connection.json"},
      {"--connection", "~/connection.json"},
      {"--connection", ""},
      {"--connection=/tmp/c.json"},
      {"--Connection", "/tmp/c.json"},
      {"/tmp/c.json", "--connection"},
      {"--connection", "/tmp/c.json", "extra"},
      {""},
  };
  for (const auto& arguments : lists) {
    ServerProcess server(arguments);
    const std::string shown = ::testing::PrintToString(arguments);
    EXPECT_EQ(server.waitForExit(), 2) << shown;
    EXPECT_EQ(server.readErrorToEnd(), kInvalid) << shown;
    EXPECT_EQ(server.readOutputToEnd(), "") << shown;
  }
}

TEST(CommandLineProcess, MissingConnectionFileDoesNotPreventServing) {
  ServerProcess server(
      std::vector<std::string>{"--connection", "/nonexistent/dir/connection.json"});
  ASSERT_TRUE(server.writeLine(
      R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2099-01-01"}})"));
  EXPECT_EQ(
      server.readLine(),
      R"({"id":1,"jsonrpc":"2.0","result":{"capabilities":{"tools":{"listChanged":false}},)"
      R"("protocolVersion":"2025-11-25","serverInfo":{"name":"Tindrel","version":"1.0.0"}}})");
  server.closeStandardInput();
  EXPECT_EQ(server.waitForExit(), 0);
  EXPECT_EQ(server.readErrorToEnd(), "");
}

TEST(CommandLineProcess, ClosedStandardDescriptorFailsTheStart) {
  for (const bool closeInput : {true, false}) {
    ProcessOptions options;
    options.closeStandardInput = closeInput;
    options.closeStandardOutput = !closeInput;
    ServerProcess server(options);
    EXPECT_EQ(server.waitForExit(), 1) << (closeInput ? "input closed" : "output closed");
    EXPECT_EQ(server.readErrorToEnd(), kStopped);
    EXPECT_EQ(server.readOutputToEnd(), "");
  }
}

}  // namespace
}  // namespace tindrel::testing
