// Replays fuzz inputs without libFuzzer, so that the committed corpus runs in
// every plain build and under gdb or valgrind.
//
// Usage: <replay binary> FILE_OR_DIRECTORY...
// Each regular file is handed to LLVMFuzzerTestOneInput once; a directory is
// walked recursively, its files in sorted order. A finding aborts the process
// (the target's own checks call std::abort), so the exit status is nonzero.
// Exit status 2 when an argument cannot be read or no input was found.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

bool readFile(const std::filesystem::path& path, std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::vector<std::filesystem::path> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path argument(argv[i]);
    std::error_code error;
    if (std::filesystem::is_directory(argument, error)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::recursive_directory_iterator(argument, error)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      if (error) {
        std::fprintf(stderr, "cannot walk %s\n", argv[i]);
        return 2;
      }
      std::sort(files.begin(), files.end());
      inputs.insert(inputs.end(), files.begin(), files.end());
    } else {
      inputs.push_back(argument);
    }
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
    return 2;
  }
  std::string content;
  for (const auto& input : inputs) {
    if (!readFile(input, content)) {
      std::fprintf(stderr, "cannot read %s\n", input.c_str());
      return 2;
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(content.data()), content.size());
  }
  std::fprintf(stderr, "replayed %zu inputs\n", inputs.size());
  return 0;
}
