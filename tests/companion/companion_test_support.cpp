#include "companion_test_support.h"

#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tindrel::companion::testing {
namespace {

void put32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i) & 0xFF));
}
void put16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

}  // namespace

TemporaryDirectory::TemporaryDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "companion-test.XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void writeWav(const std::filesystem::path& path, double seconds, bool extraChunk) {
  constexpr std::uint32_t kRate = 8000;
  const auto samples = static_cast<std::uint32_t>(std::lround(seconds * kRate));
  std::string data;
  for (std::uint32_t i = 0; i < samples; ++i) {
    put16(data, static_cast<std::uint16_t>(static_cast<std::int16_t>(
                    1000 * std::sin(2 * 3.14159265358979 * 440 * i / kRate))));
  }
  std::string chunks = "fmt ";
  put32(chunks, 16);
  put16(chunks, 1);  // PCM
  put16(chunks, 1);  // mono
  put32(chunks, kRate);
  put32(chunks, kRate * 2);  // byte rate
  put16(chunks, 2);          // block align
  put16(chunks, 16);         // bits per sample
  if (extraChunk) {
    chunks += "LIST";
    put32(chunks, 5);
    chunks += "INFOx";
    chunks.push_back('\0');  // pad byte of the odd-sized chunk
  }
  chunks += "data";
  put32(chunks, static_cast<std::uint32_t>(data.size()));
  chunks += data;
  std::string file = "RIFF";
  put32(file, static_cast<std::uint32_t>(4 + chunks.size()));
  file += "WAVE";
  file += chunks;
  writeFile(path, file);
}

void writeFile(const std::filesystem::path& path, const std::string& contents) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Fingerprint fingerprint(const std::filesystem::path& path) {
  struct stat attributes {};
  if (::stat(path.c_str(), &attributes) != 0) throw std::runtime_error("cannot stat");
#if defined(__APPLE__)
  const timespec modified = attributes.st_mtimespec;
#else
  const timespec modified = attributes.st_mtim;
#endif
  return Fingerprint{readFile(path), modified};
}

}  // namespace tindrel::companion::testing
