#include "local_api/base_url.h"

#include <gtest/gtest.h>

#include <optional>
#include <string_view>

namespace tindrel {
namespace {

using Part = std::optional<std::string_view>;

TEST(URLComponentsTest, TellsAbsentComponentsFromEmptyOnes) {
  const auto full = parseURLComponents("http://me:pw@127.0.0.1:8765/a/b?q=1#frag");
  ASSERT_TRUE(full);
  EXPECT_EQ(full->scheme, Part("http"));
  EXPECT_EQ(full->user, Part("me"));
  EXPECT_EQ(full->password, Part("pw"));
  EXPECT_EQ(full->host, Part("127.0.0.1"));
  EXPECT_EQ(full->port, Part("8765"));
  EXPECT_EQ(full->path, "/a/b");
  EXPECT_EQ(full->query, Part("q=1"));
  EXPECT_EQ(full->fragment, Part("frag"));

  const auto bare = parseURLComponents("http://@127.0.0.1:8765?#");
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->user, Part(""));
  EXPECT_EQ(bare->password, std::nullopt);
  EXPECT_EQ(bare->path, "");
  EXPECT_EQ(bare->query, Part(""));
  EXPECT_EQ(bare->fragment, Part(""));

  const auto noPort = parseURLComponents("http://127.0.0.1");
  ASSERT_TRUE(noPort);
  EXPECT_EQ(noPort->port, std::nullopt);
  EXPECT_EQ(noPort->user, std::nullopt);
  EXPECT_EQ(noPort->query, std::nullopt);

  const auto ipv6 = parseURLComponents("http://[::1]:8765/");
  ASSERT_TRUE(ipv6);
  EXPECT_EQ(ipv6->host, Part("[::1]"));
  EXPECT_EQ(ipv6->port, Part("8765"));
}

TEST(URLComponentsTest, RefusesTextThatIsNoURL) {
  for (const std::string_view text : {
           "http://127.0.0.1:8765 ",          // white space
           "http://127.0.0.1:87a5",           // port not a number
           "http://127.0.0.1:08765",          // leading zero in the port
           "http://[::1:8765/",               // unclosed bracket
           "http://127.0.0.1:8765/%zz",       // broken percent escape
           "http://127.0.0.1:8765/a%2",       // truncated percent escape
           "http://127.0.0.1:8765/<x>",       // character not allowed in a path
           "http://127.0.0.1:8765/\xC3\xA9",  // beyond ASCII
       }) {
    EXPECT_FALSE(parseURLComponents(text)) << text;
  }
}

TEST(URLPathTest, AcceptsOnlyCharactersOfAURLPath) {
  for (const std::string_view path :
       {"/api/v1/", "/api/v1/jobs/6F9619FF-8B86-D011-B42D-00CF4FC964FF", "/api/v1/a?b=c#d",
        "/api/v1/%41"}) {
    EXPECT_TRUE(isValidURLPath(path)) << path;
  }
  for (const std::string_view path : {"/api/v1/a b", "/api/v1/a\r\nX-Injected: 1", "/api/v1/%g0",
                                      "/api/v1/[x]", "/api/v1/\xE2\x80\xA8", "/api/v1/a#b#c"}) {
    EXPECT_FALSE(isValidURLPath(path)) << path;
  }
}

}  // namespace
}  // namespace tindrel
