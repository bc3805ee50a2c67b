// UUIDs: parsing the canonical 36-character form, writing it in upper case,
// and making random version-4 identifiers.
//
// Thread-safety: all functions may be called from any number of threads.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tindrel {

struct Uuid {
  std::array<std::uint8_t, 16> bytes{};

  friend bool operator==(const Uuid&, const Uuid&) = default;
};

// Parses hexadecimal digit groups of 8, 4, 4, 4 and 12 joined by hyphens,
// letters in either case, nothing before or after. Returns nullopt otherwise.
std::optional<Uuid> parseUuid(std::string_view text) noexcept;

// The canonical 36-character form with upper-case hexadecimal digits.
std::string formatUuidUpper(const Uuid& uuid);

// A fresh random version-4 UUID in its 36-character form (lower case, as
// random request ids are usually written).
std::string randomUuidString();

}  // namespace tindrel
