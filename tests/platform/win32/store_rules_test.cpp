#include "platform/win32/store_rules.h"

#include <gtest/gtest.h>

namespace kestrix::win32 {
namespace {

TEST(StoreRules, TrustsTheAdministratorsAndTheSystemOnlyWhenElevated) {
  const SidBytes user = ThisUserSid();
  const SidBytes administrators = WellKnownSid(WinBuiltinAdministratorsSid);
  const SidBytes system = WellKnownSid(WinLocalSystemSid);
  const SidBytes everyone = WellKnownSid(WinWorldSid);
  const SidBytes users = WellKnownSid(WinBuiltinUsersSid);
  ASSERT_FALSE(user.empty());
  const struct {
    const char* owner;
    const SidBytes* sid;  // null: a file whose owner cannot be told
    bool trustedElevated;
    bool trustedStandard;
  } cases[] = {
      {"this user", &user, true, true}, {"Administrators", &administrators, true, false},
      {"SYSTEM", &system, true, false}, {"Everyone", &everyone, false, false},
      {"Users", &users, false, false},  {"no owner", nullptr, false, false},
  };
  for (const bool elevated : {true, false}) {
    StoreRules rules(elevated);
    ASSERT_TRUE(rules.valid) << elevated;
    for (const auto& c : cases) {
      const PSID owner = c.sid != nullptr ? const_cast<BYTE*>(c.sid->data()) : nullptr;
      EXPECT_EQ(rules.Trusts(owner), elevated ? c.trustedElevated : c.trustedStandard)
          << c.owner << (elevated ? ", elevated" : ", standard user");
    }
  }
}

}  // namespace
}  // namespace kestrix::win32
