#include "api/pkce.h"

#include <gtest/gtest.h>

#include <set>

namespace trellisant {
namespace {

TEST(Pkce, ChallengeMatchesRfc7636) {
  // RFC 7636, Appendix B.
  EXPECT_EQ(pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(Pkce, RandomValuesAreUrlSafeAndFresh) {
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    auto value = randomURLSafe();
    ASSERT_EQ(value.size(), 43u);
    EXPECT_EQ(value.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                      "0123456789-_"),
              std::string::npos)
        << value;
    seen.insert(value);
    EXPECT_EQ(pkceChallenge(value).size(), 43u);
  }
  EXPECT_EQ(seen.size(), 64u);
}

}  // namespace
}  // namespace trellisant
