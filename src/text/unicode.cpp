#include "text/unicode.h"

#include <utf8proc.h>

#include <cstdint>

namespace tindrel {
namespace {

constexpr utf8proc_int32_t kReplacementCharacter = 0xFFFD;

bool isContinuationByte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Byte position `count` scalars after `position` (or the end of the text):
// the count-th byte after `position` that is not a continuation byte. A
// scalar starts at every such byte, which also keeps malformed input within
// bounds. Long skips (a page far into a transcript) count whole blocks first,
// a branch-free loop the compiler vectorises, then finish byte by byte.
std::size_t advanceScalars(std::string_view text, std::size_t position, std::size_t count) {
  const std::size_t size = text.size();
  if (count == 0 || position >= size) return position;
  constexpr std::size_t kBlock = 64;
  std::size_t next = position + 1;
  while (size - next >= kBlock) {
    std::size_t starts = 0;
    for (std::size_t i = 0; i < kBlock; ++i) starts += isContinuationByte(text[next + i]) ? 0 : 1;
    if (starts >= count) break;
    count -= starts;
    next += kBlock;
  }
  for (; next < size; ++next) {
    if (!isContinuationByte(text[next]) && --count == 0) return next;
  }
  return size;
}

// Decodes the scalar at `position`; a malformed sequence reads as U+FFFD and
// covers one byte, so that every loop over the text advances.
utf8proc_int32_t decodeAt(std::string_view text, std::size_t position, std::size_t& length) {
  utf8proc_int32_t scalar = 0;
  const utf8proc_ssize_t read =
      utf8proc_iterate(reinterpret_cast<const utf8proc_uint8_t*>(text.data() + position),
                       static_cast<utf8proc_ssize_t>(text.size() - position), &scalar);
  if (read <= 0) {
    length = 1;
    return kReplacementCharacter;
  }
  length = static_cast<std::size_t>(read);
  return scalar;
}

bool isWhitespace(utf8proc_int32_t scalar) {
  if ((scalar >= 0x0A && scalar <= 0x0D) || scalar == 0x85) return true;
  switch (utf8proc_category(scalar)) {
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::size_t countScalars(std::string_view text) noexcept {
  // Counting the bytes that start a scalar is a branch-free loop the compiler
  // vectorises.
  std::size_t count = 0;
  for (const char byte : text) count += isContinuationByte(byte) ? 0 : 1;
  return count;
}

std::string_view sliceScalars(std::string_view text, std::size_t offset,
                              std::size_t count) noexcept {
  const std::size_t begin = advanceScalars(text, 0, offset);
  const std::size_t end = advanceScalars(text, begin, count);
  return text.substr(begin, end - begin);
}

std::size_t countGraphemeClusters(std::string_view text) {
  if (text.empty()) return 0;
  std::size_t clusters = 1;
  utf8proc_int32_t state = 0;
  std::size_t length = 0;
  utf8proc_int32_t previous = decodeAt(text, 0, length);
  for (std::size_t position = length; position < text.size(); position += length) {
    const utf8proc_int32_t scalar = decodeAt(text, position, length);
    if (utf8proc_grapheme_break_stateful(previous, scalar, &state)) ++clusters;
    previous = scalar;
  }
  return clusters;
}

std::string_view trimWhitespace(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    std::size_t length = 0;
    if (!isWhitespace(decodeAt(text, begin, length))) break;
    begin += length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && isContinuationByte(text[start])) --start;
    std::size_t length = 0;
    const utf8proc_int32_t scalar = decodeAt(text, start, length);
    // A malformed tail is not white space; stop there.
    if (start + length != end || !isWhitespace(scalar)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace tindrel
