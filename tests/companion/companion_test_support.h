// Helpers shared by the companion's tests: temporary directories, WAV files
// of a chosen length, whole-file reads and file fingerprints.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace tindrel::companion::testing {

// A fresh private directory, removed with everything in it at destruction.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  ~TemporaryDirectory();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes an 8 kHz mono 16-bit WAV file of `seconds` of a quiet tone. With
// `extraChunk`, a LIST chunk of odd length sits between "fmt " and "data",
// as many recorders write it.
void writeWav(const std::filesystem::path& path, double seconds, bool extraChunk = false);

void writeFile(const std::filesystem::path& path, const std::string& contents);
std::string readFile(const std::filesystem::path& path);

// Bytes and modification time of a file, to prove that it was not touched.
struct Fingerprint {
  std::string bytes;
  timespec modified{};
  friend bool operator==(const Fingerprint& a, const Fingerprint& b) {
    return a.bytes == b.bytes && a.modified.tv_sec == b.modified.tv_sec &&
           a.modified.tv_nsec == b.modified.tv_nsec;
  }
};
Fingerprint fingerprint(const std::filesystem::path& path);

}  // namespace tindrel::companion::testing
