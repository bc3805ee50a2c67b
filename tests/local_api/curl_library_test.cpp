// Loading libcurl at the first exchange, and failing cleanly without it.
#include "local_api/curl_library.h"

#include <gtest/gtest.h>

#include <stop_token>
#include <string>

#include "local_api/http_session.h"
#include "test_support.h"

namespace tindrel {
namespace {

using namespace std::chrono_literals;
using testing_support::FakeService;

TEST(CurlLibraryTest, RefusesALibraryThatIsMissingOrLacksTheFunctions) {
  EXPECT_FALSE(openCurlLibrary("libtindrel-no-such-library.so.0").has_value());
  // The program itself: it opens, but this test program does not link
  // libcurl, so the functions are not found in it.
  EXPECT_FALSE(openCurlLibrary(nullptr).has_value());
}

TEST(CurlLibraryTest, LoadsAndInitialisesTheBuiltInNameOnce) {
  const CurlFunctions* const first = curlLibrary();
  ASSERT_NE(first, nullptr) << kCurlLibraryName;
  EXPECT_EQ(curlLibrary(), first);
  EXPECT_NE(first->easySetopt, nullptr);
}

const CurlFunctions* unavailableCurl() noexcept { return nullptr; }

TEST(CurlLibraryTest, AnExchangeWithoutTheLibraryFailsAndSendsNothing) {
  FakeService service;
  HttpSession session(5s, &unavailableCurl);
  const std::string url = service.baseURL() + "/api/v1/health";
  EXPECT_EQ(session.exchange(HttpRequest{"GET", url, "Bearer x", nullptr}, std::stop_token()),
            std::nullopt);
  EXPECT_TRUE(service.received().empty());
}

}  // namespace
}  // namespace tindrel
