#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "json/base64.h"
#include "json/json_reader.h"
#include "json/json_writer.h"
#include "local_api/local_api_client.h"

namespace tindrel {
namespace {

const std::string kHeader = "Bearer t0k3n";

struct RedactCase {
  const char* name;
  std::string input;     // JSON text
  std::string expected;  // JSON text
  std::string header = kHeader;
};

TEST(RedactTest, DropsSensitiveKeysAndReplacesTheCredentialInText) {
  const RedactCase cases[] = {
      {"sensitive keys in any case at any depth",
       R"({"Token":1,"a":{"TOKEN":2,"token":3,"AuthorizationHeader":"x",)"
       R"("b":[{"X-Tindrel-Agent-Token":"y","AUTHORIZATION":"z","authorization":{},"keep":1}]}})",
       R"({"a":{"b":[{"keep":1}]}})"},
      {"keys that merely contain the words stay, values redacted",
       R"({"accessToken":"t0k3n","authorization_header":"Bearer t0k3n","tokens":["t0k3n"],)"
       R"("Authorization ":1,"x-tindrel-agent":2})",
       R"({"accessToken":"[redacted]","authorization_header":"[redacted]",)"
       R"("tokens":["[redacted]"],"Authorization ":1,"x-tindrel-agent":2})"},
      {"non-ASCII letters lowered by the default mapping",
       // KELVIN SIGN lowers to "k"; DOTTED CAPITAL I lowers to "i" plus a
       // combining dot; fullwidth letters stay fullwidth.
       R"({"TO\u212aEN":1,"AUTHOR\u0130ZATION":2,"\uff34\uff2f\uff2b\uff25\uff2e":3})",
       R"({"AUTHOR\u0130ZATION":2,"\uff34\uff2f\uff2b\uff25\uff2e":3})"},
      {"whole header value first, then the bare token",
       R"(["Bearer t0k3n","x Bearer t0k3n y","t0k3n","t0k3n and t0k3n","at0k3nb"])",
       R"(["[redacted]","x [redacted] y","[redacted]","[redacted] and [redacted]",)"
       R"("a[redacted]b"])"},
      {"a lower-case prefix keeps its seven characters", R"({"m":"bearer t0k3n, BEARER t0k3n"})",
       R"({"m":"bearer [redacted], BEARER [redacted]"})"},
      {"a token split or in another case stays", R"(["t0k 3n","T0K3N","t0k"])",
       R"(["t0k 3n","T0K3N","t0k"])"},
      {"occurrences found left to right without overlap", R"(["aaa","aaaa"])",
       R"(["[redacted]a","[redacted][redacted]"])", "Bearer aa"},
      {"a key that quotes the token is redacted too",
       R"({"id-t0k3n":"v","Bearer t0k3n":{"t0k3n":"t0k3n"}})",
       R"({"id-[redacted]":"v","[redacted]":{"[redacted]":"[redacted]"}})"},
      {"a replacement is never scanned again", R"({"e":"e","x":["be"]})",
       R"({"[redacted]":"[redacted]","x":["b[redacted]"]})", "Bearer e"},
      {"numbers, booleans and null unchanged even when they spell the token",
       R"({"n":12345,"d":12345.5,"b":true,"z":null,"a":[3,2,1],"s":"12345"})",
       R"({"n":12345,"d":12345.5,"b":true,"z":null,"a":[3,2,1],"s":"[redacted]"})", "Bearer 12345"},
  };
  for (const RedactCase& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    const JsonValue input = readJson(testCase.input);
    EXPECT_EQ(LocalAPIClient::redact(input, testCase.header), readJson(testCase.expected));
  }
}

TEST(RedactTest, ReplacesTheCredentialInsideByteData) {
  // A string that as a whole is a data URL is read as bytes and written back
  // to the client base64-encoded, where a token would no longer be visible as
  // text.
  const JsonValue input(JsonObject{
      {"attachment", ByteData{"note: Bearer t0k3n then t0k3n", "text/plain"}},
      {"plain", ByteData{"nothing secret", ""}},
  });
  const JsonValue expected(JsonObject{
      {"attachment", ByteData{"note: [redacted] then [redacted]", "text/plain"}},
      {"plain", ByteData{"nothing secret", ""}},
  });
  EXPECT_EQ(LocalAPIClient::redact(input, kHeader), expected);

  const JsonValue readBack =
      readJson(R"({"d":"data:text/plain;base64,QmVhcmVyIHQwazNu"})");  // "Bearer t0k3n"
  ASSERT_TRUE(readBack.find("d")->isBytes());
  const std::string written = writeJson(LocalAPIClient::redact(readBack, kHeader));
  EXPECT_EQ(written, R"({"d":"data:text/plain;base64,W3JlZGFjdGVkXQ=="})");  // "[redacted]"
}

TEST(RedactTest, ReplacesATokenSpelledByTheBase64FormOfByteData) {
  // The bytes hold no token, but the data URL text the client receives does.
  const std::optional<std::string> bytes = decodeBase64("AAAAt0k3nABCAAAA");
  ASSERT_TRUE(bytes);
  const JsonValue input(JsonArray{ByteData{*bytes, ""}, ByteData{*bytes, "image/png"},
                                  ByteData{"plain", "image/png"}});
  const JsonValue expected(JsonArray{"data:text/plain;base64,AAAA[redacted]AAAA",
                                     "data:image/png;base64,AAAA[redacted]AAAA",
                                     ByteData{"plain", "image/png"}});
  EXPECT_EQ(LocalAPIClient::redact(input, "Bearer t0k3nABC"), expected);
}

}  // namespace
}  // namespace tindrel
