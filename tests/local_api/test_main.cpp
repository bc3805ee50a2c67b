// libcurl must be initialised once before any thread uses it, as the
// program's main does.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return 1;
  testing::InitGoogleTest(&argc, argv);
  const int status = RUN_ALL_TESTS();
  curl_global_cleanup();
  return status;
}
