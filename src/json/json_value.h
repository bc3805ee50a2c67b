// JsonValue: one JSON value of exactly one of eight kinds (null, boolean,
// integer, double, string, byte data, array, object).
//
// Objects keep their members in a std::map ordered by the bytes of the key;
// for UTF-8 keys that is ascending code point order, which is the order in
// which every object is written (see json_writer.h).
//
// Thread-safety: a JsonValue is a plain value. Concurrent reads of one value
// are safe; a value that is being modified must not be read elsewhere.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tindrel {

class JsonValue;

using JsonArray = std::vector<JsonValue>;
using JsonObject = std::map<std::string, JsonValue, std::less<>>;

// Bytes read from a string that as a whole was a data URL. `mimeType` is the
// URL's media type (with its parameters, such as ";charset=utf-8"), empty when
// the URL named none.
struct ByteData {
  std::string bytes;
  std::string mimeType;

  friend bool operator==(const ByteData&, const ByteData&) = default;
};

class JsonValue {
 public:
  enum class Kind { null, boolean, integer, floating, string, bytes, array, object };

  JsonValue() noexcept : storage_(nullptr) {}
  JsonValue(std::nullptr_t) noexcept : storage_(nullptr) {}
  JsonValue(bool value) noexcept : storage_(value) {}
  template <std::integral Integer>
  requires(!std::same_as<Integer, bool> && !std::same_as<Integer, char>) JsonValue(Integer value)
  noexcept : storage_(static_cast<std::int64_t>(value)) {}
  JsonValue(double value) noexcept : storage_(value) {}
  JsonValue(std::string value) noexcept : storage_(std::move(value)) {}
  JsonValue(std::string_view value) : storage_(std::string(value)) {}
  JsonValue(const char* value) : storage_(std::string(value)) {}
  JsonValue(ByteData value) noexcept : storage_(std::move(value)) {}
  JsonValue(JsonArray value) noexcept : storage_(std::move(value)) {}
  JsonValue(JsonObject value) noexcept : storage_(std::move(value)) {}

  Kind kind() const noexcept { return static_cast<Kind>(storage_.index()); }

  bool isNull() const noexcept { return kind() == Kind::null; }
  bool isBool() const noexcept { return kind() == Kind::boolean; }
  bool isInteger() const noexcept { return kind() == Kind::integer; }
  bool isDouble() const noexcept { return kind() == Kind::floating; }
  bool isString() const noexcept { return kind() == Kind::string; }
  bool isBytes() const noexcept { return kind() == Kind::bytes; }
  bool isArray() const noexcept { return kind() == Kind::array; }
  bool isObject() const noexcept { return kind() == Kind::object; }

  // Typed access: a pointer to the held value, or nullptr when the value is of
  // another kind. The pointer lives as long as this value is not modified.
  const bool* asBool() const noexcept { return std::get_if<bool>(&storage_); }
  const std::int64_t* asInteger() const noexcept { return std::get_if<std::int64_t>(&storage_); }
  const double* asDouble() const noexcept { return std::get_if<double>(&storage_); }
  const std::string* asString() const noexcept { return std::get_if<std::string>(&storage_); }
  const ByteData* asBytes() const noexcept { return std::get_if<ByteData>(&storage_); }
  const JsonArray* asArray() const noexcept { return std::get_if<JsonArray>(&storage_); }
  const JsonObject* asObject() const noexcept { return std::get_if<JsonObject>(&storage_); }
  std::string* asString() noexcept { return std::get_if<std::string>(&storage_); }
  ByteData* asBytes() noexcept { return std::get_if<ByteData>(&storage_); }
  JsonArray* asArray() noexcept { return std::get_if<JsonArray>(&storage_); }
  JsonObject* asObject() noexcept { return std::get_if<JsonObject>(&storage_); }

  // Member of an object, or nullptr when this is not an object or has no such
  // member.
  const JsonValue* find(std::string_view key) const noexcept {
    const JsonObject* object = asObject();
    if (object == nullptr) return nullptr;
    const auto it = object->find(key);
    return it == object->end() ? nullptr : &it->second;
  }

  friend bool operator==(const JsonValue&, const JsonValue&) = default;

 private:
  // The order of the alternatives matches Kind.
  std::variant<std::nullptr_t, bool, std::int64_t, double, std::string, ByteData, JsonArray,
               JsonObject>
      storage_;
};

}  // namespace tindrel
