// Unicode helpers over UTF-8 text: counting and slicing by Unicode scalar
// values, counting extended grapheme clusters, and trimming white space.
//
// Every function expects valid UTF-8 (as every string read by the JSON reader
// is); on invalid input the results are unspecified but memory-safe.
//
// Thread-safety: stateless; may be called from any number of threads.
#pragma once

#include <cstddef>
#include <string_view>

namespace tindrel {

// Number of Unicode scalar values in `text`. Linear in its length.
std::size_t countScalars(std::string_view text) noexcept;

// The part of `text` holding the scalars [offset, offset + count), clamped to
// the end of the text. Never splits a scalar. Linear in the bytes up to the end
// of the slice.
std::string_view sliceScalars(std::string_view text, std::size_t offset,
                              std::size_t count) noexcept;

// Number of extended grapheme clusters (user-perceived characters) in `text`.
std::size_t countGraphemeClusters(std::string_view text);

// `text` without leading and trailing white space, where white space is every
// scalar of general category Z (Zs, Zl, Zp) and U+000A to U+000D and U+0085.
std::string_view trimWhitespace(std::string_view text);

}  // namespace tindrel
