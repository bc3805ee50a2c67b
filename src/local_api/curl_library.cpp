#include "local_api/curl_library.h"

#include <dlfcn.h>

#include <bit>
#include <mutex>

namespace tindrel {
namespace {

// Looks up `symbol` into `function`; false when the library lacks it.
template <typename Function>
bool lookUp(void* library, const char* symbol, Function& function) noexcept {
  void* const address = ::dlsym(library, symbol);
  if (address == nullptr) return false;
  // POSIX guarantees that a function's address survives the trip through
  // void*; bit_cast avoids the conditionally-supported reinterpret_cast.
  function = std::bit_cast<Function>(address);
  return true;
}

}  // namespace

const char* const kCurlLibraryName = TINDREL_CURL_LIBRARY_NAME;

std::optional<CurlFunctions> openCurlLibrary(const char* name) noexcept {
  void* const library = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return std::nullopt;
  CurlFunctions f{};
  const bool complete = lookUp(library, "curl_global_init", f.globalInit) &&
                        lookUp(library, "curl_easy_init", f.easyInit) &&
                        lookUp(library, "curl_easy_setopt", f.easySetopt) &&
                        lookUp(library, "curl_easy_getinfo", f.easyGetinfo) &&
                        lookUp(library, "curl_easy_cleanup", f.easyCleanup) &&
                        lookUp(library, "curl_multi_init", f.multiInit) &&
                        lookUp(library, "curl_multi_add_handle", f.multiAddHandle) &&
                        lookUp(library, "curl_multi_remove_handle", f.multiRemoveHandle) &&
                        lookUp(library, "curl_multi_perform", f.multiPerform) &&
                        lookUp(library, "curl_multi_poll", f.multiPoll) &&
                        lookUp(library, "curl_multi_wakeup", f.multiWakeup) &&
                        lookUp(library, "curl_multi_info_read", f.multiInfoRead) &&
                        lookUp(library, "curl_multi_cleanup", f.multiCleanup) &&
                        lookUp(library, "curl_slist_append", f.slistAppend) &&
                        lookUp(library, "curl_slist_free_all", f.slistFreeAll);
  // An incomplete library is left open: closing it could run its destructors
  // while nothing is known about its state, and it is not opened again.
  if (!complete) return std::nullopt;
  return f;
}

const CurlFunctions* curlLibrary() noexcept {
  static std::once_flag once;
  static std::optional<CurlFunctions> functions;
  // call_once makes curl_global_init run exactly once before any other call
  // into the library, whatever the library's own thread-safety guarantees.
  std::call_once(once, [] {
    std::optional<CurlFunctions> opened = openCurlLibrary(kCurlLibraryName);
    if (opened && opened->globalInit(CURL_GLOBAL_DEFAULT) == CURLE_OK) functions = opened;
  });
  return functions ? &*functions : nullptr;
}

}  // namespace tindrel
