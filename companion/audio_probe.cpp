#include "audio_probe.h"

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>
#include <system_error>

namespace tindrel::companion {
namespace {

constexpr double kEstimatedBytesPerSecond = 16000;  // 128 kbit/s

std::uint32_t littleEndian32(const char* bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
         static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

// Walks the RIFF chunks up to "data". Returns nullopt when the file is not a
// WAV file this can measure (then the size estimate applies).
std::optional<double> wavDuration(std::ifstream& in, std::uintmax_t fileSize) {
  std::array<char, 12> riff{};
  if (!in.read(riff.data(), riff.size())) return std::nullopt;
  if (std::memcmp(riff.data(), "RIFF", 4) != 0 || std::memcmp(riff.data() + 8, "WAVE", 4) != 0) {
    return std::nullopt;
  }
  std::uint32_t byteRate = 0;
  std::uintmax_t position = riff.size();
  while (position + 8 <= fileSize) {
    std::array<char, 8> header{};
    if (!in.read(header.data(), header.size())) return std::nullopt;
    position += header.size();
    const std::uint32_t size = littleEndian32(header.data() + 4);
    if (std::memcmp(header.data(), "fmt ", 4) == 0) {
      std::array<char, 16> format{};
      if (size < format.size() || !in.read(format.data(), format.size())) return std::nullopt;
      byteRate = littleEndian32(format.data() + 8);
      in.seekg(static_cast<std::streamoff>(size - format.size() + (size & 1)), std::ios::cur);
    } else if (std::memcmp(header.data(), "data", 4) == 0) {
      if (byteRate == 0) return std::nullopt;
      // Streamed WAV files may carry a placeholder size (0 or 0xFFFFFFFF):
      // never count more than the bytes that are really there.
      const std::uintmax_t available = fileSize - position;
      const std::uintmax_t dataSize = (size == 0 || size > available) ? available : size;
      return static_cast<double>(dataSize) / byteRate;
    } else {
      in.seekg(static_cast<std::streamoff>(size + (size & 1)), std::ios::cur);
    }
    position += size + (size & 1);
    if (!in) return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

AudioInfo probeAudio(const std::filesystem::path& file) {
  std::error_code error;
  const std::uintmax_t fileSize = std::filesystem::file_size(file, error);
  if (error) throw std::system_error(error, "file_size");
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::system_error(errno ? errno : EIO, std::generic_category(), "open");
  if (const std::optional<double> duration = wavDuration(in, fileSize)) {
    return AudioInfo{*duration, true};
  }
  return AudioInfo{static_cast<double>(fileSize) / kEstimatedBytesPerSecond, false};
}

}  // namespace tindrel::companion
