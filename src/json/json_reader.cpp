#include "json/json_reader.h"

#include <boost/json/basic_parser_impl.hpp>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "json/data_url.h"

namespace tindrel {
namespace {

using boost::json::error_code;
using boost::json::string_view;

constexpr std::string_view kDataUrlPrefix = "data:";

// Parses the text of a JSON number as the nearest double. Boost.JSON 1.81 has
// no precise mode for doubles and can be one unit in the last place off, so
// the number's text is read again with a correctly rounding conversion.
// Returns `fallback` (Boost's value) when the text is out of the double range,
// which keeps overflow as infinity.
double preciseDouble(std::string_view text, double fallback) {
#if defined(__cpp_lib_to_chars) && __cpp_lib_to_chars >= 201611L
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return fallback;
  return value;
#else
  // strtod needs a terminated string; the program never changes its locale
  // from "C", so the decimal point is ".".
  const std::string terminated(text);
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(terminated.c_str(), &end);
  if (errno == ERANGE || end != terminated.c_str() + terminated.size()) return fallback;
  return value;
#endif
}

// Builds JsonValues directly from the parser's events. Finished values wait
// on one flat stack until their array or object ends; keys wait on another.
// Nothing recurses, so the nesting depth costs only stack entries (and the
// parser refuses nesting beyond kMaxJsonDepth before that matters).
class ValueBuilder {
 public:
  void keepDataUrlsAsStrings() { dataUrlsAsBytes_ = false; }

  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

  JsonValue takeResult() { return std::move(values_.back()); }

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }

  bool on_array_begin(error_code&) { return true; }
  bool on_array_end(std::size_t size, error_code&) {
    JsonArray array;
    array.reserve(size);
    const auto first = values_.end() - static_cast<std::ptrdiff_t>(size);
    std::move(first, values_.end(), std::back_inserter(array));
    values_.erase(first, values_.end());
    values_.emplace_back(std::move(array));
    return true;
  }

  bool on_object_begin(error_code&) { return true; }
  bool on_object_end(std::size_t size, error_code&) {
    JsonObject object;
    const auto firstValue = values_.end() - static_cast<std::ptrdiff_t>(size);
    const auto firstKey = keys_.end() - static_cast<std::ptrdiff_t>(size);
    auto value = firstValue;
    // In document order, so that a repeated key keeps its last value.
    for (auto key = firstKey; key != keys_.end(); ++key, ++value) {
      object.insert_or_assign(std::move(*key), std::move(*value));
    }
    keys_.erase(firstKey, keys_.end());
    values_.erase(firstValue, values_.end());
    values_.emplace_back(std::move(object));
    return true;
  }

  // A string arrives in parts only when it holds escapes or spans buffers;
  // the common case is one on_string call with the whole text.
  bool on_string_part(string_view part, std::size_t, error_code&) {
    pending_.append(part.data(), part.size());
    return true;
  }
  bool on_string(string_view last, std::size_t, error_code&) {
    std::string text = takePending(last);
    if (dataUrlsAsBytes_ && std::string_view(text).starts_with(kDataUrlPrefix)) {
      if (std::optional<ByteData> bytes = parseDataUrl(text)) {
        values_.emplace_back(std::move(*bytes));
        return true;
      }
    }
    values_.emplace_back(std::move(text));
    return true;
  }

  bool on_key_part(string_view part, std::size_t, error_code&) {
    pending_.append(part.data(), part.size());
    return true;
  }
  bool on_key(string_view last, std::size_t, error_code&) {
    keys_.push_back(takePending(last));
    return true;
  }

  bool on_number_part(string_view part, error_code&) {
    pendingNumber_.append(part.data(), part.size());
    return true;
  }
  bool on_int64(std::int64_t value, string_view, error_code&) {
    pendingNumber_.clear();
    values_.emplace_back(value);
    return true;
  }
  // An integer beyond the signed 64-bit range is a double. The conversion of
  // an integer to double rounds correctly.
  bool on_uint64(std::uint64_t value, string_view, error_code&) {
    pendingNumber_.clear();
    values_.emplace_back(static_cast<double>(value));
    return true;
  }
  bool on_double(double value, string_view last, error_code&) {
    double precise;
    if (pendingNumber_.empty()) {
      precise = preciseDouble(std::string_view(last.data(), last.size()), value);
    } else {
      pendingNumber_.append(last.data(), last.size());
      precise = preciseDouble(pendingNumber_, value);
      pendingNumber_.clear();
    }
    values_.emplace_back(precise);
    return true;
  }

  bool on_bool(bool value, error_code&) {
    values_.emplace_back(value);
    return true;
  }
  bool on_null(error_code&) {
    values_.emplace_back(nullptr);
    return true;
  }

  // Comments are not enabled; these exist only to meet the handler contract.
  bool on_comment_part(string_view, error_code&) { return true; }
  bool on_comment(string_view, error_code&) { return true; }

 private:
  std::string takePending(string_view last) {
    if (pending_.empty()) return std::string(last.data(), last.size());
    pending_.append(last.data(), last.size());
    std::string text = std::move(pending_);
    pending_.clear();
    return text;
  }

  std::vector<JsonValue> values_;
  std::vector<std::string> keys_;
  std::string pending_;
  std::string pendingNumber_;
  bool dataUrlsAsBytes_ = true;
};

boost::json::parse_options parseOptions() {
  boost::json::parse_options options;
  options.max_depth = kMaxJsonDepth;
  options.allow_comments = false;
  options.allow_trailing_commas = false;
  options.allow_invalid_utf8 = false;
  return options;
}

}  // namespace

JsonValue readJson(std::string_view text) { return readJson(text, DataUrls::asBytes); }

JsonValue readJson(std::string_view text, DataUrls dataUrls) {
  boost::json::basic_parser<ValueBuilder> parser(parseOptions());
  if (dataUrls == DataUrls::asStrings) parser.handler().keepDataUrlsAsStrings();
  error_code error;
  const std::size_t consumed = parser.write_some(false, text.data(), text.size(), error);
  if (error) throw JsonReadError("invalid JSON: " + error.message());
  // The parser stops after the value and its trailing white space; anything
  // left over is not part of one JSON text.
  if (consumed != text.size()) throw JsonReadError("invalid JSON: extra data after the value");
  return parser.handler().takeResult();
}

void convertDataUrls(JsonValue& value) {
  // An explicit stack of the values still to visit: a value read from text
  // can be nested kMaxJsonDepth deep, one built in code deeper still.
  std::vector<JsonValue*> pending{&value};
  while (!pending.empty()) {
    JsonValue* const current = pending.back();
    pending.pop_back();
    if (const std::string* text = current->asString()) {
      if (text->starts_with(kDataUrlPrefix)) {
        if (std::optional<ByteData> bytes = parseDataUrl(*text)) *current = std::move(*bytes);
      }
    } else if (JsonArray* array = current->asArray()) {
      for (JsonValue& element : *array) pending.push_back(&element);
    } else if (JsonObject* object = current->asObject()) {
      for (auto& [key, member] : *object) pending.push_back(&member);
    }
  }
}

}  // namespace tindrel
