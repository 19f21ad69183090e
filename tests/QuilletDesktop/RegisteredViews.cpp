// The application's views are registered with the desktop host once, as main() does.
#include "QuilletDesktop/QuilletViews.h"

#include <gtest/gtest.h>

namespace {

class RegisteredViews : public ::testing::Environment {
public:
    void SetUp() override { quilletdesktop::registerQuilletViews(); }
};

const auto* registered = ::testing::AddGlobalTestEnvironment(new RegisteredViews);

} // namespace
