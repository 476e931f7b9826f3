// The SDK's text types: UTF-8/UTF-16 conversion of host strings and the GUID
// text form that auto-text keys and element identities are written in.
#include <cstring>

#include "hostmodel/model.h"
#include "hostsdk/guid.h"
#include "hostsdk/unistring.h"
#include "runtime_fixture.h"

namespace {

TEST(RuntimeSdkText, UniStringConvertsEveryPlaneAndReplacesMalformedBytes) {
  const std::string text = "Sz\xC5\x82o \xD0\xA1\xD1\x82 \xE6\xB0\xB4 \xF0\x9F\x8F\xA0";  // ł, Ст, 水, a house
  const GS::UniString u = GS::UniString::FromUtf8(text);
  EXPECT_EQ(u.ToU16(), u"Sz\u0142o \u0421\u0442 \u6c34 \U0001F3E0");
  EXPECT_EQ(u.ToUtf8(), text);
  // Truncated, overlong, surrogate and stray continuation bytes each become
  // one replacement character; the rest survives.
  EXPECT_EQ(GS::UniString::FromUtf8("a\xC5").ToU16(), u"a\uFFFD");
  EXPECT_EQ(GS::UniString::FromUtf8("\xC0\xAF"
                                    "b")
                .ToU16(),
            u"\uFFFD\uFFFD"
            "b");
  EXPECT_EQ(GS::UniString::FromUtf8("\xED\xA0\x80").ToU16(), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(GS::UniString::FromUtf8("\x80x").ToU16(), u"\uFFFDx");
  // A lone surrogate has no UTF-8 form.
  EXPECT_EQ(GS::UniString(std::u16string(1, char16_t(0xD800))).ToUtf8(), "\xEF\xBF\xBD");
  EXPECT_TRUE(GS::UniString(static_cast<const char16_t*>(nullptr)).IsEmpty());
}

TEST(RuntimeSdkText, GuidTextMatchesTheModelAndRejectsMalformedText) {
  hostmodel::Guid g = hostmodel::Guid::FromName("element/wall-1");
  API_Guid api;
  std::memcpy(&api, g.bytes.data(), sizeof(api));
  const std::string text = APIGuidToString(api);
  EXPECT_EQ(text, g.ToString()) << "host and model write one text form";
  API_Guid back{};
  ASSERT_TRUE(APIGuidFromString(text.c_str(), &back));
  EXPECT_EQ(back, api);
  ASSERT_TRUE(APIGuidFromString(("{" + text + "}").c_str(), &back));
  EXPECT_EQ(back, api);
  std::string lower = text;
  for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_TRUE(APIGuidFromString(lower.c_str(), &back));
  EXPECT_EQ(back, api);

  API_Guid untouched{};
  for (const char* bad : {"", "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F", "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9A",
                          "0A1B2C3D+4E5F-6071-8293-A4B5C6D7E8F9", "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8G9",
                          "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9"}) {
    EXPECT_FALSE(APIGuidFromString(bad, &untouched)) << bad;
  }
  EXPECT_EQ(untouched, APINULLGuid);
  EXPECT_FALSE(APIGuidFromString(nullptr, &untouched));
}

}  // namespace
