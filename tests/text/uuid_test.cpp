#include "text/uuid.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace tindrel {
namespace {

TEST(UuidTest, ParsesTheCanonicalFormInEitherCase) {
  const Uuid expected{{0x3F, 0x25, 0x04, 0xE0, 0x4F, 0x89, 0x11, 0xD3, 0x9A, 0x0C, 0x03, 0x05, 0xE8,
                       0x2C, 0x33, 0x01}};
  for (const std::string_view text :
       {"3F2504E0-4F89-11D3-9A0C-0305E82C3301", "3f2504e0-4f89-11d3-9a0c-0305e82c3301",
        "3f2504E0-4F89-11d3-9A0c-0305e82C3301"}) {
    const std::optional<Uuid> uuid = parseUuid(text);
    ASSERT_TRUE(uuid.has_value()) << text;
    EXPECT_EQ(*uuid, expected) << text;
    EXPECT_EQ(formatUuidUpper(*uuid), "3F2504E0-4F89-11D3-9A0C-0305E82C3301");
  }
  EXPECT_EQ(formatUuidUpper(*parseUuid("00000000-0000-0000-0000-000000000000")),
            "00000000-0000-0000-0000-000000000000");
  EXPECT_EQ(formatUuidUpper(*parseUuid("ffffffff-ffff-ffff-ffff-ffffffffffff")),
            "FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF");
}

TEST(UuidTest, RefusesEveryOtherForm) {
  for (const std::string_view text : {
           "",
           "1234",
           "3F2504E04F8911D39A0C0305E82C3301",
           "{3F2504E0-4F89-11D3-9A0C-0305E82C3301}",
           " 3F2504E0-4F89-11D3-9A0C-0305E82C3301",
           "3F2504E0-4F89-11D3-9A0C-0305E82C3301 ",
           "3F2504E0-4F89-11D3-9A0C-0305E82C330",
           "3F2504E0-4F89-11D3-9A0C-0305E82C33011",
           "3F2504E0-4F89-11D3-9A0C-0305E82C330G",
           "3F2504E04-F89-11D3-9A0C-0305E82C3301",
           "3F2504E0-4F89-11D3-9A0C_0305E82C3301",
           "3F2504E0-4F89-11D3-9A0C+0305E82C3301",
           "3F2504E0--F89-11D3-9A0C-0305E82C3301",
           "urn:uuid:3F2504E0-4F89-11D3-9A0C-03",
           "3F2504E0-4F89-11D3-9A0C-0305E82C33\xC3\xA9",
       }) {
    EXPECT_FALSE(parseUuid(text).has_value()) << text;
  }
}

void expectVersion4(const std::string& text) {
  ASSERT_EQ(text.size(), 36u) << text;
  EXPECT_EQ(text[14], '4') << text;
  EXPECT_NE(std::string_view("89ab").find(text[19]), std::string_view::npos) << text;
  EXPECT_EQ(text.find_first_not_of("0123456789abcdef-"), std::string::npos) << text;
  const std::optional<Uuid> uuid = parseUuid(text);
  ASSERT_TRUE(uuid.has_value()) << text;
}

TEST(UuidTest, MakesFreshVersion4IdentifiersOnEveryThread) {
  constexpr int kThreads = 4;
  constexpr int kPerThread = 500;
  std::mutex mutex;
  std::set<std::string> seen;
  std::vector<std::string> all;
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        std::vector<std::string> mine;
        for (int i = 0; i < kPerThread; ++i) mine.push_back(randomUuidString());
        const std::lock_guard lock(mutex);
        all.insert(all.end(), mine.begin(), mine.end());
      });
    }
  }
  for (const std::string& text : all) {
    expectVersion4(text);
    seen.insert(text);
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kPerThread));
}

}  // namespace
}  // namespace tindrel
