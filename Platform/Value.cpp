#include "Platform/Value.h"

namespace platform {

const Value* Value::find(std::string_view key) const {
    auto* d = asDictionary();
    if (!d)
        return nullptr;
    auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

} // namespace platform
