// A dynamically typed value, as a property list holds: user defaults, the info dictionary,
// window-list entries. Shared by both hosts; a plain value, any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

class Value;
using Bytes = std::vector<std::uint8_t>;
using Array = std::vector<Value>;
// Transparent comparison: look-ups by literal or string_view allocate nothing.
using Dictionary = std::map<std::string, Value, std::less<>>;

class Value {
public:
    enum class Type { null, boolean, integer, real, string, bytes, array, dictionary };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(static_cast<std::int64_t>(i)) {}
    Value(std::int64_t i) : v_(i) {}
    Value(std::uint32_t i) : v_(static_cast<std::int64_t>(i)) {}
    Value(double d) : v_(d) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(Bytes b) : v_(std::move(b)) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Dictionary d) : v_(std::move(d)) {}

    Type type() const { return static_cast<Type>(v_.index()); }
    bool isNull() const { return type() == Type::null; }

    // Exact-type readers: present only when the value has that type.
    std::optional<bool> asBool() const;
    std::optional<std::int64_t> asInteger() const;
    // A number of either kind, as a double.
    std::optional<double> asNumber() const;
    const std::string* asString() const { return std::get_if<std::string>(&v_); }
    const Bytes* asBytes() const { return std::get_if<Bytes>(&v_); }
    const Array* asArray() const { return std::get_if<Array>(&v_); }
    const Dictionary* asDictionary() const { return std::get_if<Dictionary>(&v_); }

    // Looks up a key when this is a dictionary; nullptr otherwise or when absent.
    const Value* find(std::string_view key) const;

    bool operator==(const Value& o) const { return v_ == o.v_; }

private:
    std::variant<std::monostate, bool, std::int64_t, double, std::string, Bytes, Array, Dictionary>
        v_;
};

} // namespace platform
