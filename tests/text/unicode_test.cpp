#include "text/unicode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tindrel {
namespace {

// Scalars of one, two, three and four UTF-8 bytes, and combining sequences.
constexpr std::string_view kEAcute = "\xC3\xA9";               // U+00E9
constexpr std::string_view kCombiningAcute = "\xCC\x81";       // U+0301
constexpr std::string_view kEuro = "\xE2\x82\xAC";             // U+20AC
constexpr std::string_view kGrinning = "\xF0\x9F\x98\x80";     // U+1F600
constexpr std::string_view kZeroWidthJoiner = "\xE2\x80\x8D";  // U+200D
constexpr std::string_view kMan = "\xF0\x9F\x91\xA8";          // U+1F468
constexpr std::string_view kWoman = "\xF0\x9F\x91\xA9";        // U+1F469
constexpr std::string_view kGirl = "\xF0\x9F\x91\xA7";         // U+1F467
constexpr std::string_view kRegionalF = "\xF0\x9F\x87\xAB";    // U+1F1EB
constexpr std::string_view kRegionalR = "\xF0\x9F\x87\xB7";    // U+1F1F7
constexpr std::string_view kSkinTone = "\xF0\x9F\x8F\xBD";     // U+1F3FD
constexpr std::string_view kThumbsUp = "\xF0\x9F\x91\x8D";     // U+1F44D

std::string join(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const std::string_view part : parts) text += part;
  return text;
}

struct CountCase {
  std::string text;
  std::size_t scalars;
  std::size_t clusters;
};

TEST(UnicodeTest, CountsScalarsAndGraphemeClusters) {
  const std::string family = join({kMan, kZeroWidthJoiner, kWoman, kZeroWidthJoiner, kGirl});
  const std::vector<CountCase> cases = {
      {"", 0, 0},
      {"abc", 3, 3},
      {"\r\n", 2, 1},
      {join({"a", kEAcute, kEuro, kGrinning}), 4, 4},
      {join({"e", kCombiningAcute}), 2, 1},
      {join({"e", kCombiningAcute, kCombiningAcute, "x"}), 4, 2},
      {family, 5, 1},
      {join({family, family}), 10, 2},
      {join({kRegionalF, kRegionalR}), 2, 1},
      {join({kRegionalF, kRegionalR, kRegionalF}), 3, 2},
      {join({kRegionalF, kRegionalR, kRegionalF, kRegionalR}), 4, 2},
      {join({kThumbsUp, kSkinTone, "!"}), 3, 2},
      {"\xE1\x84\x80\xE1\x85\xA1\xE1\x86\xA8", 3, 1},  // Hangul L V T jamo
  };
  for (const CountCase& c : cases) {
    EXPECT_EQ(countScalars(c.text), c.scalars) << c.text;
    EXPECT_EQ(countGraphemeClusters(c.text), c.clusters) << c.text;
  }
}

TEST(UnicodeTest, CountsTwoHundredEmojiAsTwoHundredClusters) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += kGrinning;
  EXPECT_EQ(countGraphemeClusters(text), 200u);
  text += join({kThumbsUp, kSkinTone});
  EXPECT_EQ(countGraphemeClusters(text), 201u);
}

struct SliceCase {
  std::size_t offset;
  std::size_t count;
  std::string expected;
};

TEST(UnicodeTest, SlicesByScalars) {
  // a é 😀 e ◌́ € b: seven scalars, splitting a cluster between 3 and 4.
  const std::string text = join({"a", kEAcute, kGrinning, "e", kCombiningAcute, kEuro, "b"});
  const std::vector<SliceCase> cases = {
      {0, 0, ""},
      {0, 1, "a"},
      {1, 1, std::string(kEAcute)},
      {2, 1, std::string(kGrinning)},
      {1, 3, join({kEAcute, kGrinning, "e"})},
      {4, 1, std::string(kCombiningAcute)},
      {3, 4, join({"e", kCombiningAcute, kEuro, "b"})},
      {0, 7, text},
      {0, 100, text},
      {5, 100, join({kEuro, "b"})},
      {7, 1, ""},
      {100, 5, ""},
  };
  for (const SliceCase& c : cases) {
    EXPECT_EQ(sliceScalars(text, c.offset, c.count), c.expected)
        << "offset " << c.offset << " count " << c.count;
  }
}

TEST(UnicodeTest, PagesJoinBackIntoTheText) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += join({"a", kEAcute, kGrinning, kEuro, kCombiningAcute});
  const std::size_t total = countScalars(text);
  ASSERT_EQ(total, 5000u);
  for (const std::size_t pageLength : {1u, 3u, 7u, 4999u}) {
    std::string joined;
    for (std::size_t offset = 0; offset < total; offset += pageLength) {
      const std::string_view page = sliceScalars(text, offset, pageLength);
      EXPECT_EQ(countScalars(page), std::min(pageLength, total - offset));
      joined += page;
    }
    EXPECT_EQ(joined, text) << "page length " << pageLength;
  }
}

// Long slices skip whole blocks of bytes at a time; every offset and length
// around the block size must still land on the same scalar boundaries as a
// plain walk, in valid text and in text with stray continuation bytes.
TEST(UnicodeTest, LongSlicesMatchAScalarByScalarWalk) {
  std::string valid;
  for (int i = 0; i < 60; ++i) {
    valid += join({"ab", kEAcute, kGrinning, "c", kEuro, kCombiningAcute, "de"});
  }
  std::string malformed = valid.substr(0, 150) + std::string(130, '\x80') + valid.substr(150);
  for (const std::string& text : {valid, malformed}) {
    // Byte positions where a scalar starts, by the same rule the slicing
    // uses: every byte that is not a continuation byte (and the start).
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (i == 0 || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
    }
    const std::size_t total = starts.size();
    starts.push_back(text.size());
    for (std::size_t offset = 0; offset <= total + 1; ++offset) {
      for (const std::size_t count : {1u, 40u, 63u, 64u, 65u, 130u, 500u, 5000u}) {
        const std::size_t begin = starts[std::min(offset, total)];
        const std::size_t end = starts[std::min(offset + count, total)];
        ASSERT_EQ(sliceScalars(text, offset, count), text.substr(begin, end - begin))
            << "offset " << offset << " count " << count << " in text of " << text.size()
            << " bytes";
      }
    }
  }
}

TEST(UnicodeTest, StaysInBoundsOnMalformedText) {
  const std::string text = "a\xF0\x9F\x98";  // truncated four-byte sequence
  EXPECT_EQ(countScalars(text), 2u);
  EXPECT_EQ(sliceScalars(text, 1, 5), "\xF0\x9F\x98");
  EXPECT_EQ(countGraphemeClusters("\xFF\xFE"), 2u);
  EXPECT_EQ(trimWhitespace(" \x80 "), "\x80");
}

struct TrimCase {
  std::string text;
  std::string expected;
};

TEST(UnicodeTest, TrimsUnicodeWhitespaceAndNewlines) {
  const std::vector<TrimCase> cases = {
      {"", ""},
      {"   ", ""},
      {" a ", "a"},
      {"a b", "a b"},
      {"\n\r\v\fkey\r\n", "key"},
      {"\xE3\x80\x80key\xE3\x80\x80", "key"},  // U+3000 ideographic space
      {"\xE2\x80\xA8key\xE2\x80\xA9", "key"},  // U+2028, U+2029
      {"\xC2\x85key\xC2\x85", "key"},          // U+0085 next line
      {"\xC2\xA0key\xC2\xA0", "key"},          // U+00A0 no-break space (Zs)
      {"\xE2\x80\x83\xE2\x80\xAF"
       "k",
       "k"},  // U+2003 em space, U+202F
      {"\xE3\x80\x80\xC2\x85\xE2\x80\xA8", ""},
      // Not white space by this rule: zero-width space (Cf), tab (Cc).
      {"\xE2\x80\x8Bkey", "\xE2\x80\x8Bkey"},
      {"\tkey\t", "\tkey\t"},
      // Inner white space and combining marks stay.
      {" e\xCC\x81 \xE3\x80\x80 x ", "e\xCC\x81 \xE3\x80\x80 x"},
  };
  for (const TrimCase& c : cases) {
    EXPECT_EQ(trimWhitespace(c.text), c.expected) << c.text;
  }
}

}  // namespace
}  // namespace tindrel
