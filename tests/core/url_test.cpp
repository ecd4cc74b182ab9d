#include <gtest/gtest.h>

#include "url.h"
#include "encoding.h"
#include "json.h"

using namespace trellisant;

TEST(Url, KeepsPartsAsWrittenAndResolvesAbsolutePaths) {
  auto url = Url::parse("https://Example.COM:8443/x/y?q=1");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->scheme, "https");
  EXPECT_EQ(url->host, "Example.COM");
  EXPECT_EQ(url->port, 8443);
  EXPECT_EQ(url->resolve("/api/v1/native/deliveries"), "https://Example.COM:8443/api/v1/native/deliveries");
  auto v6 = Url::parse("http://[::1]/");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->host, "[::1]");
  EXPECT_FALSE(v6->port);
  auto relative = Url::parse("deliveries");
  ASSERT_TRUE(relative);
  EXPECT_FALSE(relative->host);
  EXPECT_FALSE(Url::parse("https://exa mple.com"));
  EXPECT_FALSE(Url::parse(""));
  auto user = Url::parse("https://me:pw@storage.googleapis.com/b");
  ASSERT_TRUE(user);
  EXPECT_EQ(user->user, "me");
  EXPECT_EQ(user->password, "pw");
}

TEST(Url, QueryItemsAndFormEncoding) {
  auto url = Url::parse("trellisant://oauth/callback?state=a%2Bb&code=x&error&code=y");
  ASSERT_TRUE(url);
  EXPECT_EQ(url->scheme, "trellisant");
  EXPECT_EQ(url->host, "oauth");
  EXPECT_EQ(url->path, "/callback");
  EXPECT_EQ(url->firstQueryValue("state"), "a+b");
  EXPECT_EQ(url->firstQueryValue("code"), "x");
  EXPECT_EQ(url->firstQueryValue("error"), std::nullopt);
  EXPECT_EQ(formEncode({{"a", "x+y z"}, {"b", "/"}}), "a=x%2By%20z&b=%2F");
}

TEST(Json, FieldsAcceptSnakeCaseAndRejectWrongTypes) {
  Json j = parseJson(R"({"access_token":"t","expiresIn":3.5,"size":12,"extra":true,"n":null})");
  Fields f(j, true);
  EXPECT_EQ(f.string("accessToken"), "t");
  EXPECT_DOUBLE_EQ(f.number("expiresIn"), 3.5);
  EXPECT_THROW(f.string("size"), DecodingError);
  EXPECT_THROW(f.string("missing"), DecodingError);
  EXPECT_EQ(f.optionalString("n"), std::nullopt);
  Fields strict(j, false);
  EXPECT_THROW(strict.string("accessToken"), DecodingError);
  EXPECT_THROW(parseJson("{"), DecodingError);
}

TEST(Base64, RoundTripsAndRejectsGarbage) {
  std::string raw("\0\x01\xff{}", 5);
  EXPECT_EQ(base64Decode(base64Encode(raw)), raw);
  EXPECT_EQ(base64Encode("ab"), "YWI=");
  EXPECT_FALSE(base64Decode("YW?="));
  EXPECT_FALSE(base64Decode("YWI"));
  EXPECT_EQ(makeUUID().size(), 36u);
}

#include "text.h"

TEST(Text, NfcGraphemesAndIntegers) {
  EXPECT_EQ(nfc("e\u0301"), "\u00e9");
  std::string flags = "\U0001F1EB\U0001F1F7\U0001F1E9\U0001F1EA";  // two flags, four scalars
  EXPECT_EQ(graphemes(flags).size(), 2u);
  EXPECT_EQ(prefixCharacters(flags, 1), "\U0001F1EB\U0001F1F7");
  EXPECT_EQ(prefixCharacters("e\u0301x", 1), "e\u0301");
  EXPECT_EQ(parseInt64("+42"), 42);
  EXPECT_EQ(parseInt64("-9223372036854775808"), std::numeric_limits<long long>::min());
  EXPECT_FALSE(parseInt64("9223372036854775808"));
  EXPECT_FALSE(parseInt64("12.5"));
  EXPECT_FALSE(parseInt64("1e9"));
  EXPECT_FALSE(parseInt64(""));
  EXPECT_FALSE(parseInt64("-"));
  EXPECT_FALSE(parseInt64(" 1"));
}
