// The rights table both sides carry and the polkit names derived from it.
#include "common/RNCommonHelper.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

using namespace quillo::common;

TEST(CommonRights, TableHoldsTheOneProtectedCommand) {
    const auto& info = RNCommonHelper::commandInfo();
    ASSERT_EQ(info.size(), 1u);
    const auto& right = info.at("eraseWithAuthorization:itemsDictionary:withReply:");
    EXPECT_EQ(right.at("authRightName"), "org.quillo.quillo-3.eraseAuthorized");
    EXPECT_EQ(right.at("authRightDefault"), "is-admin");
    EXPECT_EQ(right.at("authRightDescription"), "Quillo is trying to erase with root authorization.");

    EXPECT_EQ(RNCommonHelper::authorizationRightForCommand(kEraseCommand), "org.quillo.quillo-3.eraseAuthorized");
    EXPECT_FALSE(RNCommonHelper::authorizationRightForCommand("getVersionWithReply:"));
    EXPECT_FALSE(RNCommonHelper::authorizationRightForCommand(""));
}

TEST(CommonRights, EnumerationVisitsEachRightOnce) {
    std::vector<std::vector<std::string>> seen;
    RNCommonHelper::enumerateRightsUsingBlock(
        [&](const std::string& name, const std::string& rule, const std::string& description) {
            seen.push_back({name, rule, description});
        });
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], (std::vector<std::string>{"org.quillo.quillo-3.eraseAuthorized", "is-admin",
                                                 "Quillo is trying to erase with root authorization."}));
}

TEST(CommonRights, TableIsBuiltOnceAcrossThreads) {
    std::vector<const void*> addresses(8);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < addresses.size(); ++i)
        threads.emplace_back([&, i] { addresses[i] = &RNCommonHelper::commandInfo(); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::set<const void*>(addresses.begin(), addresses.end()).size(), 1u);
}

TEST(CommonRights, PolkitNamesFollowPolkitsRules) {
    EXPECT_EQ(RNCommonHelper::polkitActionIdForRight(kEraseRightName), "org.quillo.quillo-3.eraseauthorized");
    EXPECT_EQ(RNCommonHelper::polkitActionIdForRight("a_b"), "");
    EXPECT_EQ(RNCommonHelper::polkitActionIdForRight("a b"), "");
    EXPECT_EQ(RNCommonHelper::polkitRuleForDefault("is-admin"), "auth_admin");
    EXPECT_EQ(RNCommonHelper::polkitRuleForDefault("allow"), "");
}

TEST(CommonRights, MissingActionsAreThoseNotRegistered) {
    EXPECT_EQ(RNCommonHelper::missingActions({}),
              std::vector<std::string>{"org.quillo.quillo-3.eraseauthorized"});
    EXPECT_TRUE(RNCommonHelper::missingActions({"org.freedesktop.x", "org.quillo.quillo-3.eraseauthorized"}).empty());
    // polkit compares ids exactly: the right's mixed-case name is not its action id.
    EXPECT_FALSE(RNCommonHelper::missingActions({"org.quillo.quillo-3.eraseAuthorized"}).empty());
}
