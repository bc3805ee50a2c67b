#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "json/json_reader.h"
#include "local_api/connection_file.h"
#include "local_api/local_api_client.h"
#include "test_support.h"

namespace tindrel {
namespace {

using testing_support::connectionJson;
using testing_support::expectBridgeError;
using testing_support::ExpectedError;
using testing_support::kNotLocal;
using testing_support::kUnavailable;
using testing_support::kUnsafeFile;
using testing_support::TempDir;
using testing_support::writeFile;

const std::string kValidURL = "http://127.0.0.1:8765";
const std::string kValidContent = connectionJson(kValidURL, "Bearer abc");

// A valid file padded with trailing white space to exactly `size` bytes.
std::string paddedContent(std::size_t size) {
  std::string content = kValidContent;
  content.resize(size, ' ');
  return content;
}

TEST(ConnectionFileTest, ReturnsTheFourValuesOfAValidFile) {
  const TempDir dir;
  const std::string path = dir.file("connection.json");
  writeFile(path, R"({"localOnly":true,"authorizationHeader":"Bearer s3cret\tpart","extra":[1],)"
                  R"("baseURL":"http://127.0.0.1:41234/","apiVersion":"v1"})");
  const Connection connection = LocalAPIClient(path).connection();
  EXPECT_EQ(connection.apiVersion, "v1");
  EXPECT_EQ(connection.baseURL, "http://127.0.0.1:41234/");
  EXPECT_EQ(connection.authorizationHeader, "Bearer s3cret\tpart");
  EXPECT_TRUE(connection.localOnly);
}

// What sits at the path, and the outcome of connection(). `prepare` makes
// the item and returns the path to check.
struct FileCase {
  const char* name;
  std::function<std::string(const TempDir&)> prepare;
  const ExpectedError* expected;  // nullptr: accepted
};

TEST(ConnectionFileTest, ChecksTheItemAtThePathBeforeReadingIt) {
  const auto withContent = [](std::string content, mode_t mode) {
    return [content, mode](const TempDir& dir) {
      writeFile(dir.file("connection.json"), content, mode);
      return dir.file("connection.json");
    };
  };
  const auto withMode = [&](mode_t mode) { return withContent(kValidContent, mode); };
  const FileCase cases[] = {
      {"mode 0600", withMode(0600), nullptr},
      {"mode 0400", withMode(0400), nullptr},
      {"mode 0700", withMode(0700), nullptr},
      {"set-id and sticky bits are not looked at", withMode(07600), nullptr},
      {"mode 0640", withMode(0640), &kUnsafeFile},
      {"mode 0604", withMode(0604), &kUnsafeFile},
      {"mode 0660", withMode(0660), &kUnsafeFile},
      {"mode 0601", withMode(0601), &kUnsafeFile},
      {"exactly 65,536 bytes", withContent(paddedContent(65536), 0600), nullptr},
      {"65,537 bytes", withContent(paddedContent(65537), 0600), &kUnsafeFile},
      {"empty file", withContent("", 0600), &kNotLocal},
      {"missing file", [](const TempDir& dir) { return dir.file("connection.json"); },
       &kUnavailable},
      {"missing directory on the way",
       [](const TempDir& dir) { return dir.file("absent/connection.json"); }, &kUnavailable},
      {"symbolic link to a valid private file",
       [](const TempDir& dir) {
         writeFile(dir.file("target.json"), kValidContent);
         EXPECT_EQ(::symlink(dir.file("target.json").c_str(), dir.file("link.json").c_str()), 0);
         return dir.file("link.json");
       },
       &kUnsafeFile},
      {"directory",
       [](const TempDir& dir) {
         EXPECT_EQ(::mkdir(dir.file("connection.json").c_str(), 0700), 0);
         return dir.file("connection.json");
       },
       &kUnsafeFile},
      {"FIFO (must not block)",
       [](const TempDir& dir) {
         EXPECT_EQ(::mkfifo(dir.file("connection.json").c_str(), 0600), 0);
         return dir.file("connection.json");
       },
       &kUnsafeFile},
  };
  for (const FileCase& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    const TempDir dir;
    const LocalAPIClient client(testCase.prepare(dir));
    if (testCase.expected == nullptr) {
      EXPECT_EQ(client.connection().baseURL, kValidURL);
    } else {
      expectBridgeError([&] { (void)client.connection(); }, *testCase.expected);
    }
  }
}

TEST(ConnectionFileTest, RefusesAFileOfAnotherUser) {
  if (::getuid() != 0) GTEST_SKIP() << "changing a file's owner needs root";
  const TempDir dir;
  const std::string path = dir.file("connection.json");
  writeFile(path, kValidContent);
  ASSERT_EQ(::chown(path.c_str(), 12345, static_cast<gid_t>(-1)), 0);
  expectBridgeError([&] { (void)LocalAPIClient(path).connection(); }, kUnsafeFile);
}

TEST(ConnectionFileTest, PicksUpAReplacedFileOnTheNextCall) {
  const TempDir dir;
  const std::string path = dir.file("connection.json");
  const LocalAPIClient client(path);
  writeFile(path, connectionJson("http://127.0.0.1:1111", "Bearer first"));
  EXPECT_EQ(client.connection().authorizationHeader, "Bearer first");
  const std::string replacement = dir.file("replacement.json");
  writeFile(replacement, connectionJson("http://127.0.0.1:2222/", "Bearer second"));
  ASSERT_EQ(std::rename(replacement.c_str(), path.c_str()), 0);
  const Connection second = client.connection();
  EXPECT_EQ(second.baseURL, "http://127.0.0.1:2222/");
  EXPECT_EQ(second.authorizationHeader, "Bearer second");
}

// The path can change between the attribute checks and the read. Only the
// very file that passed is read, and only while it is still private and small.
TEST(ConnectionFileReadTest, ReadsOnlyTheFileThatPassedTheChecks) {
  struct SwapCase {
    const char* name;
    std::function<void(const TempDir&, const std::string& path)> swap;
  };
  const SwapCase cases[] = {
      {"another file renamed over it",
       [](const TempDir& dir, const std::string& path) {
         writeFile(dir.file("other.json"), kValidContent);
         ASSERT_EQ(std::rename(dir.file("other.json").c_str(), path.c_str()), 0);
       }},
      {"a symbolic link to the checked file",
       [](const TempDir& dir, const std::string& path) {
         ASSERT_EQ(std::rename(path.c_str(), dir.file("moved.json").c_str()), 0);
         ASSERT_EQ(::symlink(dir.file("moved.json").c_str(), path.c_str()), 0);
       }},
      {"a FIFO without writer (must not block)",
       [](const TempDir&, const std::string& path) {
         ASSERT_EQ(::unlink(path.c_str()), 0);
         ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
       }},
      {"the file removed",
       [](const TempDir&, const std::string& path) { ASSERT_EQ(::unlink(path.c_str()), 0); }},
      {"the file made readable by others",
       [](const TempDir&, const std::string& path) { ASSERT_EQ(::chmod(path.c_str(), 0644), 0); }},
      {"the file grown beyond the limit",
       [](const TempDir&, const std::string& path) {
         std::FILE* file = std::fopen(path.c_str(), "ab");
         ASSERT_NE(file, nullptr);
         const std::string padding(70000, ' ');
         std::fwrite(padding.data(), 1, padding.size(), file);
         std::fclose(file);
       }},
  };
  for (const SwapCase& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    const TempDir dir;
    const std::string path = dir.file("connection.json");
    writeFile(path, kValidContent);
    struct stat checked {};
    ASSERT_EQ(::lstat(path.c_str(), &checked), 0);
    testCase.swap(dir, path);
    expectBridgeError([&] { (void)readConnectionFile(path, checked); }, kNotLocal);
  }
}

TEST(ConnectionFileReadTest, ReturnsTheContentOfAnUnchangedFile) {
  const TempDir dir;
  const std::string path = dir.file("connection.json");
  const std::string content = paddedContent(65536);
  writeFile(path, content);
  struct stat checked {};
  ASSERT_EQ(::lstat(path.c_str(), &checked), 0);
  EXPECT_EQ(readConnectionFile(path, checked), content);
}

// Content cases: each member given as raw JSON text, or omitted when empty.
struct ContentCase {
  const char* name;
  std::string content;
  bool accepted;
};

std::string members(const std::string& apiVersion, const std::string& baseURL,
                    const std::string& header, const std::string& localOnly) {
  std::string text = "{";
  const auto add = [&](const char* key, const std::string& value) {
    if (value.empty()) return;
    if (text.size() > 1) text += ",";
    text += std::string("\"") + key + "\":" + value;
  };
  add("apiVersion", apiVersion);
  add("baseURL", baseURL);
  add("authorizationHeader", header);
  add("localOnly", localOnly);
  return text + "}";
}

std::string withURL(const std::string& url) {
  return members(R"("v1")", "\"" + url + "\"", R"("Bearer abc")", "true");
}
std::string withHeader(const std::string& jsonHeader) {
  return members(R"("v1")", R"("http://127.0.0.1:8765")", jsonHeader, "true");
}

TEST(ConnectionContentTest, AcceptsOnlyALoopbackServiceAndABearerValue) {
  const ContentCase cases[] = {
      {"valid", withURL("http://127.0.0.1:8765"), true},
      {"further keys ignored",
       R"({"apiVersion":"v1","baseURL":"http://127.0.0.1:8765","authorizationHeader":"Bearer )"
       R"(a","localOnly":true,"port":1,"token":null})",
       true},
      {"not JSON", "apiVersion=v1", false},
      {"invalid UTF-8", withHeader("\"Bearer \xFF\""), false},
      {"a JSON array", "[" + withURL("http://127.0.0.1:8765") + "]", false},
      {"localOnly missing", members(R"("v1")", R"("http://127.0.0.1:8765")", R"("Bearer a")", ""),
       false},
      {"apiVersion missing", members("", R"("http://127.0.0.1:8765")", R"("Bearer a")", "true"),
       false},
      {"baseURL null", members(R"("v1")", "null", R"("Bearer a")", "true"), false},
      {"authorizationHeader null", withHeader("null"), false},
      {"keys matched case-sensitively",
       R"({"apiversion":"v1","baseURL":"http://127.0.0.1:8765","authorizationHeader":"Bearer )"
       R"(a","localOnly":true})",
       false},
      {"apiVersion V1", members(R"("V1")", R"("http://127.0.0.1:8765")", R"("Bearer a")", "true"),
       false},
      {"apiVersion v2", members(R"("v2")", R"("http://127.0.0.1:8765")", R"("Bearer a")", "true"),
       false},
      {"apiVersion a number", members("1", R"("http://127.0.0.1:8765")", R"("Bearer a")", "true"),
       false},
      {"localOnly false",
       members(R"("v1")", R"("http://127.0.0.1:8765")", R"("Bearer a")", "false"), false},
      {"localOnly the string true",
       members(R"("v1")", R"("http://127.0.0.1:8765")", R"("Bearer a")", R"("true")"), false},
      {"localOnly a number", members(R"("v1")", R"("http://127.0.0.1:8765")", R"("Bearer a")", "1"),
       false},
      // The base URL.
      {"base URL with path /", withURL("http://127.0.0.1:8765/"), true},
      {"base URL with port 1", withURL("http://127.0.0.1:1"), true},
      {"base URL with port 65535", withURL("http://127.0.0.1:65535/"), true},
      {"base URL with path /api", withURL("http://127.0.0.1:8765/api"), false},
      {"base URL with path //", withURL("http://127.0.0.1:8765//"), false},
      {"base URL without port", withURL("http://127.0.0.1"), false},
      {"base URL with an empty port", withURL("http://127.0.0.1:/"), false},
      {"base URL with port 0", withURL("http://127.0.0.1:0"), false},
      {"base URL with port 65536", withURL("http://127.0.0.1:65536"), false},
      {"base URL with a huge port", withURL("http://127.0.0.1:99999999999999999999"), false},
      {"base URL with scheme https", withURL("https://127.0.0.1:8765"), false},
      {"base URL with scheme HTTP", withURL("HTTP://127.0.0.1:8765"), false},
      {"base URL without scheme", withURL("//127.0.0.1:8765"), false},
      {"base URL without authority", withURL("http:127.0.0.1:8765"), false},
      {"base URL with host localhost", withURL("http://localhost:8765"), false},
      {"base URL with host [::1]", withURL("http://[::1]:8765"), false},
      {"base URL with host 127.0.0.2", withURL("http://127.0.0.2:8765"), false},
      {"base URL with an escaped host", withURL("http://127.0.0.%31:8765"), false},
      {"base URL with a user name", withURL("http://user@127.0.0.1:8765"), false},
      {"base URL with user and password", withURL("http://user:pw@127.0.0.1:8765"), false},
      {"base URL with an empty user", withURL("http://@127.0.0.1:8765"), false},
      {"base URL with a trailing ?", withURL("http://127.0.0.1:8765?"), false},
      {"base URL with a trailing #", withURL("http://127.0.0.1:8765/#"), false},
      {"base URL with a query", withURL("http://127.0.0.1:8765/?a=b"), false},
      {"base URL with a space", withURL("http://127.0.0.1:8765 "), false},
      {"base URL empty", withURL(""), false},
      {"base URL as a data URL", withURL("data:,http://127.0.0.1:8765"), false},
      // The header value.
      {"header Bearer and one character", withHeader(R"("Bearer x")"), true},
      {"header with a tab", withHeader(R"("Bearer a\tb")"), true},
      {"header with characters beyond ASCII", withHeader(R"("Bearer \u00e9\u4e2d")"), true},
      {"header exactly Bearer and a space", withHeader(R"("Bearer ")"), false},
      {"header with lower-case bearer", withHeader(R"("bearer abc")"), false},
      {"header without the space", withHeader(R"("Bearerabc")"), false},
      {"header with another scheme", withHeader(R"("Basic abc")"), false},
      {"header with a leading space", withHeader(R"(" Bearer abc")"), false},
      {"header with a line feed", withHeader(R"("Bearer a\nb")"), false},
      {"header with a carriage return", withHeader(R"("Bearer a\rb")"), false},
      {"header with NUL", withHeader(R"("Bearer a\u0000b")"), false},
      {"header with a vertical tab", withHeader(R"("Bearer a\u000bb")"), false},
      {"header with a form feed", withHeader(R"("Bearer a\fb")"), false},
      {"header with U+0085", withHeader(R"("Bearer a\u0085b")"), false},
      {"header with U+2028", withHeader(R"("Bearer a\u2028b")"), false},
      {"header with U+2029", withHeader(R"("Bearer a\u2029b")"), false},
      {"header whose only added character is a combining mark", withHeader(R"("Bearer \u0301")"),
       true},
      {"header a number", withHeader("7"), false},
  };
  for (const ContentCase& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    if (testCase.accepted) {
      // The members are taken over exactly as the file spells them.
      Connection connection;
      ASSERT_NO_THROW(connection = parseConnection(testCase.content));
      const JsonValue document = readJson(testCase.content);
      EXPECT_EQ(connection.apiVersion, "v1");
      EXPECT_EQ(connection.baseURL, *document.find("baseURL")->asString());
      EXPECT_EQ(connection.authorizationHeader, *document.find("authorizationHeader")->asString());
      EXPECT_TRUE(connection.localOnly);
    } else {
      expectBridgeError([&] { (void)parseConnection(testCase.content); }, kNotLocal);
    }
  }
}

}  // namespace
}  // namespace tindrel
