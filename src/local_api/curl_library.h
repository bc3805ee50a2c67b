// CurlLibrary: libcurl, loaded on first use rather than at program start.
//
// Linking libcurl would make the dynamic loader map it and its whole
// dependency tree (TLS stacks, Kerberos, LDAP, compression libraries) before
// main runs, and curl_global_init would read the TLS configuration, all before
// the first message could be answered. The server needs HTTP only when the
// first tool call arrives, so the library is opened with dlopen then, its few
// functions are looked up into a table, and curl_global_init runs once.
//
// The curl headers still provide every type and constant; only the calls go
// through the table. curl_easy_setopt and curl_easy_getinfo keep their
// variadic signatures, so arguments are passed exactly as to the real ones.
//
// Thread-safety: curlLibrary() may be called from any number of threads; the
// first call loads and initialises the library, the others wait for it.
// Lifetime: the library is never unloaded; a table returned stays valid until
// the process ends.
#pragma once

#include <curl/curl.h>

#include <optional>

namespace tindrel {

struct CurlFunctions {
  CURLcode (*globalInit)(long flags);
  CURL* (*easyInit)();
  CURLcode (*easySetopt)(CURL* easy, CURLoption option, ...);
  CURLcode (*easyGetinfo)(CURL* easy, CURLINFO info, ...);
  void (*easyCleanup)(CURL* easy);
  CURLM* (*multiInit)();
  CURLMcode (*multiAddHandle)(CURLM* multi, CURL* easy);
  CURLMcode (*multiRemoveHandle)(CURLM* multi, CURL* easy);
  CURLMcode (*multiPerform)(CURLM* multi, int* running);
  CURLMcode (*multiPoll)(CURLM* multi, curl_waitfd extra[], unsigned int extraCount,
                         int timeoutMilliseconds, int* descriptors);
  CURLMcode (*multiWakeup)(CURLM* multi);
  CURLMsg* (*multiInfoRead)(CURLM* multi, int* queued);
  CURLMcode (*multiCleanup)(CURLM* multi);
  curl_slist* (*slistAppend)(curl_slist* list, const char* line);
  void (*slistFreeAll)(curl_slist* list);
};

// Where the library is found: the name the loader searches for (the library's
// own install name or soname, chosen when the program is built).
extern const char* const kCurlLibraryName;

// Opens the shared library `name` (RTLD_NOW | RTLD_LOCAL) and looks up every
// function of the table. Returns std::nullopt when the library cannot be
// opened or lacks one of them; a library opened but incomplete stays open.
// Does not call curl_global_init.
std::optional<CurlFunctions> openCurlLibrary(const char* name) noexcept;

// The table of kCurlLibraryName, opened and initialised (curl_global_init with
// CURL_GLOBAL_DEFAULT) on the first call. Returns nullptr, on this and every
// later call, when the library could not be opened or initialised.
const CurlFunctions* curlLibrary() noexcept;

}  // namespace tindrel
