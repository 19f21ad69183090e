// A dynamically typed value, as a property list holds: user defaults, the info dictionary,
// window-list entries. Shared by both hosts; a plain value, any thread.
#pragma once

#include <boost/container/flat_map.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

namespace platform {

class Value;
using Bytes = std::vector<std::uint8_t>;
using Array = std::vector<Value>;
// Keys in sorted order, held in one contiguous block: a dictionary is small and read far more
// often than built, and a window list of ten thousand entries is read by walking each entry's
// keys, which a node per key would scatter over memory. Transparent comparison: look-ups by
// literal or string_view allocate nothing. Inserting may move the other entries: keep no
// reference into a dictionary across an insertion.
using Dictionary = boost::container::flat_map<std::string, Value, std::less<>>;

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
    std::optional<bool> asBool() const {
        if (auto* b = std::get_if<bool>(&v_))
            return *b;
        return std::nullopt;
    }
    std::optional<std::int64_t> asInteger() const {
        if (auto* i = std::get_if<std::int64_t>(&v_))
            return *i;
        return std::nullopt;
    }
    // A number of either kind, as a double.
    std::optional<double> asNumber() const {
        if (auto* i = std::get_if<std::int64_t>(&v_))
            return static_cast<double>(*i);
        if (auto* d = std::get_if<double>(&v_))
            return *d;
        return std::nullopt;
    }
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

// Arrays of values move their elements when they grow, never copy them.
static_assert(std::is_nothrow_move_constructible_v<Value>);

} // namespace platform
