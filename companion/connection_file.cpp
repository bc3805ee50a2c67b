#include "connection_file.h"

#include <pwd.h>
#include <unistd.h>

#include <boost/json.hpp>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tindrel::companion {

std::filesystem::path defaultConnectionPath() {
  std::filesystem::path home;
  const char* variable = std::getenv("HOME");
  if (variable != nullptr && variable[0] == '/') {
    home = variable;
  } else if (const passwd* record = ::getpwuid(::getuid());
             record != nullptr && record->pw_dir != nullptr && record->pw_dir[0] == '/') {
    home = record->pw_dir;
  } else {
    throw std::runtime_error("no home directory");
  }
  return home / "Library" / "Application Support" / "Tindrel" / "Agent" / "connection.json";
}

std::string connectionFileContents(int port, const std::string& token) {
  // boost::json::object keeps insertion order: the members are written in
  // the order below.
  boost::json::object file;
  file["apiVersion"] = "v1";
  file["authorizationHeader"] = "Bearer " + token;
  file["baseURL"] = "http://127.0.0.1:" + std::to_string(port);
  file["localOnly"] = true;
  return boost::json::serialize(file);
}

bool removeConnectionFileIfUnchanged(const std::filesystem::path& path,
                                     const std::string& contents) noexcept {
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::string current{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (current != contents) return false;
    return ::unlink(path.c_str()) == 0;
  } catch (...) {
    return false;
  }
}

}  // namespace tindrel::companion
