#include "Platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

TEST(NotificationCenter, ObserversOfOneSenderHearOnlyThatSender) {
    platform::NotificationCenter center;
    int a = 0, b = 0;
    std::vector<std::string> any;
    const int windowA = 0, windowB = 0;
    center.addObserver("close", &windowA, [&] { ++a; });
    center.addObserver("close", &windowB, [&] { ++b; });
    center.addObserver("close", [&] { any.push_back("close"); });
    center.post("close", &windowA);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 0);
    center.post("close");
    EXPECT_EQ(a, 1) << "a post without sender reaches only observers of any sender";
    EXPECT_EQ(b, 0);
    EXPECT_EQ(any.size(), 2u);
}
