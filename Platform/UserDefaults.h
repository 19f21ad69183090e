// The standard user defaults: typed values under string keys, written the moment they change.
// Implemented by Sim (memory) and Desktop (a JSON file). Safe from any thread: the account
// library reads its switches and stores its counters from its own thread.
#pragma once

#include "Platform/Value.h"

#include <optional>
#include <string>

namespace platform {

class UserDefaults {
public:
    virtual ~UserDefaults() = default;

    // The stored object; none when the key is absent.
    virtual std::optional<Value> object(const std::string& key) const = 0;
    virtual void set(const std::string& key, Value value) = 0;
    virtual void removeObject(const std::string& key) = 0;

    // Typed readers with the platform's conversions; absent or unconvertible reads as
    // false, 0 and 0.0.
    bool boolForKey(const std::string& key) const;
    std::int64_t integerForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;
    std::optional<std::string> stringForKey(const std::string& key) const;
};

} // namespace platform
