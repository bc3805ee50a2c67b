#include "json/base64.h"

#include <array>
#include <cstdint>

namespace tindrel {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
  std::array<std::uint8_t, 256> table{};
  table.fill(kInvalid);
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = makeDecodeTable();

}  // namespace

void appendBase64(std::string& out, std::string_view bytes) {
  const std::size_t start = out.size();
  out.resize(start + (bytes.size() + 2) / 3 * 4);
  char* write = out.data() + start;
  const auto* read = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t remaining = bytes.size();
  for (; remaining >= 3; remaining -= 3, read += 3) {
    const std::uint32_t group = (read[0] << 16) | (read[1] << 8) | read[2];
    *write++ = kAlphabet[(group >> 18) & 0x3F];
    *write++ = kAlphabet[(group >> 12) & 0x3F];
    *write++ = kAlphabet[(group >> 6) & 0x3F];
    *write++ = kAlphabet[group & 0x3F];
  }
  if (remaining == 0) return;
  const std::uint32_t group = (read[0] << 16) | (remaining == 2 ? read[1] << 8 : 0);
  *write++ = kAlphabet[(group >> 18) & 0x3F];
  *write++ = kAlphabet[(group >> 12) & 0x3F];
  *write++ = remaining == 2 ? kAlphabet[(group >> 6) & 0x3F] : '=';
  *write = '=';
}

std::optional<std::string> decodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;

  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  const std::size_t dataLength = text.size() - padding;
  std::uint32_t group = 0;
  for (std::size_t i = 0; i < dataLength; ++i) {
    const std::uint8_t sextet = kDecode[static_cast<unsigned char>(text[i])];
    if (sextet == kInvalid) return std::nullopt;
    group = (group << 6) | sextet;
    if (i % 4 == 3) {
      bytes.push_back(static_cast<char>(group >> 16));
      bytes.push_back(static_cast<char>((group >> 8) & 0xFF));
      bytes.push_back(static_cast<char>(group & 0xFF));
      group = 0;
    }
  }
  // The last group: two characters carry one byte (4 unused bits), three
  // characters carry two bytes (2 unused bits).
  if (padding == 2) {
    if ((group & 0x0F) != 0) return std::nullopt;
    bytes.push_back(static_cast<char>(group >> 4));
  } else if (padding == 1) {
    if ((group & 0x03) != 0) return std::nullopt;
    bytes.push_back(static_cast<char>(group >> 10));
    bytes.push_back(static_cast<char>((group >> 2) & 0xFF));
  }
  return bytes;
}

}  // namespace tindrel
