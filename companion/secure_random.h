// Random values for credentials and identifiers, drawn from the operating
// system's cryptographically secure generator (getentropy on Linux and macOS).
//
// Thread-safety: every function may be called from any number of threads.
#pragma once

#include <cstddef>
#include <string>

namespace tindrel::companion {

// Fills `size` bytes at `out` with secure random bytes. Throws
// std::system_error when the operating system cannot supply them; it never
// falls back on a weaker generator.
void secureRandomBytes(void* out, std::size_t size);

// A fresh bearer token: 32 random bytes as 64 lower-case hexadecimal digits.
std::string randomToken();

// A fresh random version-4 UUID in its canonical 36-character form with
// upper-case hexadecimal digits.
std::string randomUuidUpper();

}  // namespace tindrel::companion
