// The command line of tindrel-mcp: no arguments, `--help`, or `--connection`
// followed by an absolute path. Arguments are compared as whole strings,
// case-sensitively; any other list is invalid.
//
// Thread-safety: stateless.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace tindrel {

struct CommandLine {
  enum class Action { serve, help, invalid };
  Action action = Action::invalid;
  // With Action::serve: the connection-file location (an absolute path).
  std::string connectionPath;
};

// Decides the action from the arguments after the program name. Without
// arguments the location is the default one under `homeDirectory`; a path
// after `--connection` is taken unchanged (not resolved or checked).
CommandLine parseCommandLine(std::span<const std::string_view> arguments,
                             std::string_view homeDirectory);

// The current user's home directory: $HOME when it is an absolute path, else
// the user database's entry for the real user id, else "/".
std::string currentHomeDirectory();

// The fixed texts written to standard error, each with its line feeds.
inline constexpr std::string_view kUsageText =
    "Tindrel local MCP server (stdio)\n"
    "Usage: tindrel-mcp [--connection /absolute/path/to/connection.json]\n"
    "Open Tindrel first. No credentials belong in the MCP client configuration.\n";
inline constexpr std::string_view kInvalidArgumentsText =
    "Invalid arguments. Use tindrel-mcp --help.\n";
inline constexpr std::string_view kTransportStoppedText =
    "Tindrel MCP transport stopped. Reconnect the MCP client.\n";

// Relative to the home directory.
inline constexpr std::string_view kDefaultConnectionPath =
    "Library/Application Support/Tindrel/Agent/connection.json";

}  // namespace tindrel
