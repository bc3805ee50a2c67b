#include "json/json_writer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <string_view>

#include "json/base64.h"

namespace tindrel {
namespace {

constexpr std::string_view kDefaultMimeType = "text/plain";
constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

// For each byte: 0 when it is copied as it is, otherwise the letter of its
// short escape ('u' for the \u00XX form), or 0x80 for the first byte of a
// multi-byte sequence (or a byte that cannot be one).
constexpr char kNonAscii = static_cast<char>(0x80);

constexpr std::array<char, 256> makeEscapeTable() {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\b'] = 'b';
  table['\f'] = 'f';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['\t'] = 't';
  table['"'] = '"';
  table['\\'] = '\\';
  for (int c = 0x80; c < 0x100; ++c) table[c] = kNonAscii;
  return table;
}

constexpr std::array<char, 256> kEscape = makeEscapeTable();

// Length of the well-formed UTF-8 sequence at the start of `text` (whose
// first byte is 0x80 or above), or 0 when it is not well formed (stray
// continuation byte, overlong form, surrogate, beyond U+10FFFF, truncated).
std::size_t utf8SequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// Copies runs of plain bytes in one append each and escapes the rest. Text
// that is not valid UTF-8 cannot come from the reader; should any reach the
// writer, each malformed byte becomes U+FFFD so the output stays valid JSON.
void appendString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t runStart = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const char kind = kEscape[static_cast<unsigned char>(text[i])];
    if (kind == 0) {
      ++i;
      continue;
    }
    if (kind == kNonAscii) {
      const std::size_t length = utf8SequenceLength(text.substr(i));
      if (length != 0) {
        i += length;
        continue;
      }
    }
    out.append(text.data() + runStart, i - runStart);
    if (kind == kNonAscii) {
      out.append(kReplacementCharacter);
    } else if (kind == 'u') {
      const auto c = static_cast<unsigned char>(text[i]);
      const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
      out.append(escape, sizeof escape);
    } else {
      const char escape[] = {'\\', kind};
      out.append(escape, sizeof escape);
    }
    ++i;
    runStart = i;
  }
  out.append(text.data() + runStart, text.size() - runStart);
  out.push_back('"');
}

void appendInteger(std::string& out, std::int64_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

// The shortest text that reads back as the same double; a whole number gets
// ".0" so that it reads back as a double and not as an integer.
void appendDouble(std::string& out, double value) {
  if (!std::isfinite(value)) throw JsonWriteError("a double that is not finite cannot be written");
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  out.append(text);
  if (text.find_first_of(".e") == std::string_view::npos) out.append(".0");
}

void appendBytes(std::string& out, const ByteData& data) {
  out.append("\"data:");
  out.append(data.mimeType.empty() ? kDefaultMimeType : std::string_view(data.mimeType));
  out.append(";base64,");
  appendBase64(out, data.bytes);
  out.push_back('"');
}

// Arrays and objects are written by recursion; the depth is bounded by the
// nesting of the value, which the reader limits to kMaxJsonDepth and the
// program's own values keep shallow.
void appendValue(std::string& out, const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::Kind::null:
      out.append("null");
      return;
    case JsonValue::Kind::boolean:
      out.append(*value.asBool() ? "true" : "false");
      return;
    case JsonValue::Kind::integer:
      appendInteger(out, *value.asInteger());
      return;
    case JsonValue::Kind::floating:
      appendDouble(out, *value.asDouble());
      return;
    case JsonValue::Kind::string:
      appendString(out, *value.asString());
      return;
    case JsonValue::Kind::bytes:
      appendBytes(out, *value.asBytes());
      return;
    case JsonValue::Kind::array: {
      out.push_back('[');
      bool first = true;
      for (const JsonValue& element : *value.asArray()) {
        if (!first) out.push_back(',');
        first = false;
        appendValue(out, element);
      }
      out.push_back(']');
      return;
    }
    case JsonValue::Kind::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, member] : *value.asObject()) {
        if (!first) out.push_back(',');
        first = false;
        appendString(out, key);
        out.push_back(':');
        appendValue(out, member);
      }
      out.push_back('}');
      return;
    }
  }
}

// Decimal digits of `value`, its sign included.
std::size_t integerLength(std::int64_t value) {
  std::size_t length = value < 0 ? 2 : 1;
  // Magnitude without overflow for the most negative value.
  auto magnitude =
      value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  while (magnitude >= 10) {
    magnitude /= 10;
    ++length;
  }
  return length;
}

// Characters of the written text, without looking inside strings: each is
// counted as if it needed no escape, and each double at its longest. Exact
// for most values, and an escape or two beyond it costs one more growth.
std::size_t estimateLength(const JsonValue& value) {
  switch (value.kind()) {
    case JsonValue::Kind::null:
      return 4;
    case JsonValue::Kind::boolean:
      return *value.asBool() ? 4 : 5;
    case JsonValue::Kind::integer:
      return integerLength(*value.asInteger());
    case JsonValue::Kind::floating:
      return 26;  // 24 for the shortest form at its longest, and ".0".
    case JsonValue::Kind::string:
      return value.asString()->size() + 2;
    case JsonValue::Kind::bytes: {
      const ByteData& data = *value.asBytes();
      const std::size_t mimeType =
          data.mimeType.empty() ? kDefaultMimeType.size() : data.mimeType.size();
      return 15 + mimeType + (data.bytes.size() + 2) / 3 * 4;
    }
    case JsonValue::Kind::array: {
      std::size_t length = 2;
      for (const JsonValue& element : *value.asArray()) length += estimateLength(element) + 1;
      return length;
    }
    case JsonValue::Kind::object: {
      std::size_t length = 2;
      for (const auto& [key, member] : *value.asObject()) {
        length += key.size() + 4 + estimateLength(member);
      }
      return length;
    }
  }
  return 0;
}

}  // namespace

void appendJson(std::string& out, const JsonValue& value) {
  // Reserved at once: growing by doubling would copy a large text several
  // times and touch fresh pages for each copy.
  // Never less than double, so that a text built by many calls still grows
  // geometrically whatever the library's reserve() does.
  const std::size_t needed = out.size() + estimateLength(value);
  if (needed > out.capacity()) out.reserve(std::max(needed, 2 * out.capacity()));
  appendValue(out, value);
}

std::string writeJson(const JsonValue& value) {
  std::string out;
  appendJson(out, value);
  return out;
}

}  // namespace tindrel
