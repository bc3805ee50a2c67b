// The command line of tindrel-companion.
//
//   tindrel-companion [--connection /absolute/path] [--port N] [--speed X]
//   tindrel-companion --help
//
// Thread-safety: stateless.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tindrel::companion {

struct CompanionOptions {
  bool help = false;
  std::optional<std::filesystem::path> connection;  // absent: the default location
  int port = 0;                                     // 0: any free port
  double speed = 1;                                 // > 0; 2 runs jobs twice as fast
};

inline constexpr const char* kUsage =
    "tindrel-companion: stand-in for the Tindrel app's local service (no real transcription)\n"
    "Usage: tindrel-companion [--connection /absolute/path/to/connection.json] [--port N] "
    "[--speed X]\n"
    "  --connection PATH  where to write the connection file (default: ~/Library/Application "
    "Support/Tindrel/Agent/connection.json)\n"
    "  --port N           TCP port on 127.0.0.1 (default: any free port)\n"
    "  --speed X          run jobs X times faster than the audio plays (default: 1)\n";

// Parses the arguments after the program name. Returns the options, or
// nullopt with `error` set to a one-line explanation.
std::optional<CompanionOptions> parseOptions(const std::vector<std::string>& arguments,
                                             std::string& error);

}  // namespace tindrel::companion
