// A small key → bytes store for the library's persisted items, with JSON helpers on top.
// Implementations may be used from any thread.
#pragma once

#include "CorvaneAccount/Foundation/CorvaneJSON.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

using Data = std::vector<std::uint8_t>;

class CorvaneAccountDataStorage {
public:
    virtual ~CorvaneAccountDataStorage() = default;

    // Writes the bytes under `key`, replacing what was there. Throws CorvaneError.
    virtual void setData(const Data& data, const std::string& key) = 0;
    // The bytes under `key`; nullopt when absent or on any failure.
    virtual std::optional<Data> getData(const std::string& key) = 0;
    // Removes `key`; failures are not reported.
    virtual void deleteData(const std::string& key) = 0;

    // Encodes with CorvaneJSON, then setData. Throws CorvaneError from the write and
    // CorvaneJSON::EncodingError when the value cannot be encoded.
    template <class T> void setJSON(const T& value, const std::string& key) {
        setData(CorvaneJSON::encodeBytes(value), key);
    }
    // getData, then decodes with CorvaneJSON; absent when either fails.
    template <class T> std::optional<T> getJSON(const std::string& key) {
        auto data = getData(key);
        if (!data)
            return std::nullopt;
        try {
            return CorvaneJSON::decode<T>(*data);
        } catch (const CorvaneJSON::DecodingError&) {
            return std::nullopt;
        }
    }
};

} // namespace corvane
