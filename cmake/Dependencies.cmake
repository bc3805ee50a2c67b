# Every external library is found here, so that platform differences (Debian's
# CMake package files vs Homebrew's pkg-config files) stay in one place.
find_package(Threads REQUIRED)
find_package(CURL REQUIRED)
find_package(Boost 1.81 REQUIRED COMPONENTS json)
find_package(PkgConfig REQUIRED)
pkg_check_modules(UTF8PROC REQUIRED IMPORTED_TARGET libutf8proc)

# cpp-httplib is header-only: Debian ships a pkg-config file, Homebrew a CMake
# package. It serves only the stand-in service and the test fakes.
find_package(httplib CONFIG QUIET)
if(TARGET httplib::httplib)
  set(TINDREL_HTTPLIB httplib::httplib)
else()
  pkg_check_modules(HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  set(TINDREL_HTTPLIB PkgConfig::HTTPLIB)
endif()

if(TINDREL_BUILD_TESTS)
  find_package(GTest REQUIRED)
  include(GoogleTest)
endif()
if(TINDREL_BUILD_BENCHMARKS)
  find_package(benchmark REQUIRED)
endif()
