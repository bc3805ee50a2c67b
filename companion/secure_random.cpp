#include "secure_random.h"

#include <unistd.h>
#if defined(__APPLE__)
#include <sys/random.h>
#endif

#include <array>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace tindrel::companion {
namespace {

// getentropy serves at most 256 bytes per call.
constexpr std::size_t kMaxEntropyChunk = 256;

std::string hex(const std::uint8_t* bytes, std::size_t size, const char* digits) {
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(digits[bytes[i] >> 4]);
    out.push_back(digits[bytes[i] & 0x0F]);
  }
  return out;
}

}  // namespace

void secureRandomBytes(void* out, std::size_t size) {
  auto* cursor = static_cast<unsigned char*>(out);
  while (size > 0) {
    const std::size_t chunk = size < kMaxEntropyChunk ? size : kMaxEntropyChunk;
    if (getentropy(cursor, chunk) != 0) {
      throw std::system_error(errno, std::generic_category(), "getentropy");
    }
    cursor += chunk;
    size -= chunk;
  }
}

std::string randomToken() {
  std::array<std::uint8_t, 32> bytes{};
  secureRandomBytes(bytes.data(), bytes.size());
  return hex(bytes.data(), bytes.size(), "0123456789abcdef");
}

std::string randomUuidUpper() {
  std::array<std::uint8_t, 16> bytes{};
  secureRandomBytes(bytes.data(), bytes.size());
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  const std::string digits = hex(bytes.data(), bytes.size(), "0123456789ABCDEF");
  return digits.substr(0, 8) + "-" + digits.substr(8, 4) + "-" + digits.substr(12, 4) + "-" +
         digits.substr(16, 4) + "-" + digits.substr(20, 12);
}

}  // namespace tindrel::companion
