// OLE Automation strings: the block layout a host relies on (length prefix, pointer-sized header,
// terminator, one malloc block freed at the string minus the pointer size) and the conversion of
// messages to UTF-16.
#include "platform/ole_string.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "calibration/exports/serivane.h"

namespace serivane {

namespace {

std::uint32_t prefixOf(const char16_t* s) {
  std::uint32_t bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<const char*>(s) - 4, 4);
  return bytes;
}

}  // namespace

TEST(OleString, LayoutIsTheLengthPrefixedPointerAlignedBlock) {
  struct Case {
    const char* label;
    std::u16string text;
  } cases[] = {
      {"empty", u""},
      {"one unit", u"x"},
      {"message", u"Root must be bracketed in Brent solver"},
      {"beyond the basic plane", u"a\U0001F600b"},
  };
  for (const Case& c : cases) {
    BSTR s = SysAllocString(c.text.c_str());
    ASSERT_NE(s, nullptr) << c.label;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(s) % alignof(void*), 0u) << c.label;
    EXPECT_EQ(prefixOf(s), 2 * c.text.size()) << c.label;
    EXPECT_EQ(SysStringByteLen(s), 2 * c.text.size()) << c.label;
    EXPECT_EQ(SysStringLen(s), c.text.size()) << c.label;
    EXPECT_EQ(QelStringLength(s), c.text.size()) << c.label;
    EXPECT_EQ(std::u16string(s, SysStringLen(s)), c.text) << c.label;
    EXPECT_EQ(s[c.text.size()], u'\0') << c.label;
    // The block starts one pointer's size before the string: a host's free there releases it
    // (AddressSanitizer reports any other address as a bad free).
    if (c.text.size() % 2 == 0) {
      std::free(reinterpret_cast<char*>(s) - sizeof(void*));
    } else {
      QelFreeString(s);
    }
  }
}

TEST(OleString, NullAndEmbeddedNulAndFree) {
  BSTR empty = SysAllocString(nullptr);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);
  SysFreeString(nullptr);
  QelFreeString(nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  EXPECT_EQ(QelStringLength(nullptr), 0u);

  const char16_t withNul[] = {u'a', u'\0', u'b'};
  BSTR s = SysAllocStringLen(withNul, 3);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 3u);
  EXPECT_EQ(std::u16string(s, 3), std::u16string(withNul, 3));
  EXPECT_EQ(s[3], u'\0');
  SysFreeString(s);

  BSTR zeros = SysAllocStringLen(nullptr, 2);
  ASSERT_NE(zeros, nullptr);
  EXPECT_EQ(zeros[0], u'\0');
  EXPECT_EQ(zeros[1], u'\0');
  EXPECT_EQ(SysStringByteLen(zeros), 4u);
  SysFreeString(zeros);
}

TEST(OleString, MessagesAreWidenedFromUtf8) {
  struct Case {
    const char* label;
    std::string in;
    std::u16string out;
  } cases[] = {
      {"ASCII", "Possible instability issue", u"Possible instability issue"},
      {"two and three bytes", "\xC3\xA9t\xE2\x82\xAC", u"\u00E9t\u20AC"},
      {"four bytes: a surrogate pair", "\xF0\x9F\x98\x80", u"\U0001F600"},
      {"stray continuation byte", "a\x80z", u"a\uFFFDz"},
      {"cut sequence at the end", "ab\xE2\x82", u"ab\uFFFD\uFFFD"},
      {"overlong form", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
  };
  for (const Case& c : cases) EXPECT_EQ(widenMessage(c.in), c.out) << c.label;
}

}  // namespace serivane
