#include "text/uuid.h"

#include <random>

namespace tindrel {
namespace {

constexpr std::size_t kTextLength = 36;

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isHyphenPosition(std::size_t position) {
  return position == 8 || position == 13 || position == 18 || position == 23;
}

std::string format(const Uuid& uuid, const char* digits) {
  std::string text;
  text.reserve(kTextLength);
  for (std::size_t i = 0; i < uuid.bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text.push_back('-');
    text.push_back(digits[uuid.bytes[i] >> 4]);
    text.push_back(digits[uuid.bytes[i] & 0x0F]);
  }
  return text;
}

// One generator per thread, so no lock is needed; each is seeded from the
// system's entropy source when the thread first asks for an identifier.
std::mt19937_64& threadGenerator() {
  thread_local std::mt19937_64 generator = [] {
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device(),
                       device(), device(), device(), device()};
    return std::mt19937_64(seed);
  }();
  return generator;
}

}  // namespace

std::optional<Uuid> parseUuid(std::string_view text) noexcept {
  if (text.size() != kTextLength) return std::nullopt;
  Uuid uuid;
  std::size_t byteIndex = 0;
  for (std::size_t position = 0; position < kTextLength;) {
    if (isHyphenPosition(position)) {
      if (text[position] != '-') return std::nullopt;
      ++position;
      continue;
    }
    const int high = hexValue(text[position]);
    const int low = hexValue(text[position + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    uuid.bytes[byteIndex++] = static_cast<std::uint8_t>(high << 4 | low);
    position += 2;
  }
  return uuid;
}

std::string formatUuidUpper(const Uuid& uuid) { return format(uuid, "0123456789ABCDEF"); }

std::string randomUuidString() {
  std::mt19937_64& generator = threadGenerator();
  Uuid uuid;
  for (std::size_t half = 0; half < 2; ++half) {
    const std::uint64_t bits = generator();
    for (std::size_t i = 0; i < 8; ++i)
      uuid.bytes[half * 8 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
  }
  uuid.bytes[6] = static_cast<std::uint8_t>((uuid.bytes[6] & 0x0F) | 0x40);  // version 4
  uuid.bytes[8] = static_cast<std::uint8_t>((uuid.bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
  return format(uuid, "0123456789abcdef");
}

}  // namespace tindrel
