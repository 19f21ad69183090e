// The storage contract on a dictionary in memory, guarded by one mutex: any thread.
#pragma once

#include "CorvaneAccount/Storage/CorvaneAccountDataStorage.h"

#include <map>
#include <mutex>

namespace corvane {

class InMemoryStorage final : public CorvaneAccountDataStorage {
public:
    InMemoryStorage() = default;

    void setData(const Data& data, const std::string& key) override;
    std::optional<Data> getData(const std::string& key) override;
    void deleteData(const std::string& key) override;

private:
    std::map<std::string, Data> store_;
    std::mutex lock_;
};

} // namespace corvane
