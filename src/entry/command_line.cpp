#include "entry/command_line.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace tindrel {

CommandLine parseCommandLine(std::span<const std::string_view> arguments,
                             std::string_view homeDirectory) {
  if (arguments.size() == 1 && arguments[0] == "--help") return {CommandLine::Action::help, {}};
  if (arguments.size() == 2 && arguments[0] == "--connection" && arguments[1].starts_with('/')) {
    return {CommandLine::Action::serve, std::string(arguments[1])};
  }
  if (arguments.empty()) {
    std::string path(homeDirectory);
    if (!path.ends_with('/')) path += '/';
    path += kDefaultConnectionPath;
    return {CommandLine::Action::serve, std::move(path)};
  }
  return {CommandLine::Action::invalid, {}};
}

std::string currentHomeDirectory() {
  // $HOME first: it costs nothing, whereas the user database can be a
  // directory-service round trip on some systems, and start-up must be quick.
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
  if (const passwd* entry = ::getpwuid(::getuid());
      entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] == '/') {
    return entry->pw_dir;
  }
  return "/";
}

}  // namespace tindrel
