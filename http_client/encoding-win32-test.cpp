// URL splitting on InternetCrackUrlW and the MIME lookup in the registry,
// under Wine.
#include <gtest/gtest.h>
#include <windows.h>

#include "http_client/multipart_body.h"
#include "http_client/url.h"

using namespace velmora;

namespace {

struct Split {
  bool ok;
  TURLParts parts;
};

Split split(const ustring& url) {
  Split s;
  s.parts.Scheme = u"(untouched)";
  s.ok = SplitURL(url, s.parts);
  return s;
}

}  // namespace

TEST(SplitURL, PartsAsWrittenWithTheSchemesPorts) {
  struct Case {
    const char16_t* url;
    const char16_t *scheme, *host;
    uint16_t port;
    const char16_t *user, *password, *path, *extra;
  } cases[] = {
      {u"http://u%40s:p%3Aw@h:8080/p%20a/b?q=%26&r=1#frag", u"http", u"h", 8080, u"u%40s", u"p%3Aw",
       u"/p%20a/b", u"?q=%26&r=1#frag"},
      {u"https://example.com", u"https", u"example.com", 443, u"", u"", u"", u""},
      {u"HTTP://h/x", u"HTTP", u"h", 80, u"", u"", u"/x", u""},
      {u"127.0.0.1:81/up.asp", u"http", u"127.0.0.1", 81, u"", u"", u"/up.asp", u""},
      {u"example.com/go?to=http://other/", u"http", u"example.com", 80, u"", u"", u"/go",
       u"?to=http://other/"},
      {u"ftp://h/f.txt", u"ftp", u"h", 21, u"", u"", u"/f.txt", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.url));
    Split s = split(c.url);
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(s.parts.Scheme, c.scheme);
    EXPECT_EQ(s.parts.HostName, c.host);
    EXPECT_EQ(s.parts.Port, c.port);
    EXPECT_EQ(s.parts.UserName, c.user);
    EXPECT_EQ(s.parts.Password, c.password);
    EXPECT_EQ(s.parts.UrlPath, c.path);
    EXPECT_EQ(s.parts.ExtraInfo, c.extra);
  }
}

TEST(SplitURL, CapacitiesOfThePartsLimitTheSplit) {
  const ustring longest = u"/" + ustring(2047, u'p');  // 2048 characters
  Split fits = split(u"http://h" + longest);
  ASSERT_TRUE(fits.ok);
  EXPECT_EQ(fits.parts.UrlPath, longest);

  Split tooLong = split(u"http://h" + longest + u"p");
  EXPECT_FALSE(tooLong.ok);
  EXPECT_EQ(tooLong.parts.Scheme, u"(untouched)");

  EXPECT_TRUE(split(u"http://h/?" + ustring(2047, u'q')).ok);
  EXPECT_FALSE(split(u"http://h/?" + ustring(2048, u'q')).ok);
  EXPECT_TRUE(split(u"http://" + ustring(128, u'u') + u":p@h/").ok);
  EXPECT_FALSE(split(u"http://" + ustring(129, u'u') + u":p@h/").ok);
}

// Content types registered for made-up extensions (Wine 8 does not show the
// user's Software\Classes in HKEY_CLASSES_ROOT, so they go there directly).
class MimeType : public ::testing::Test {
 protected:

  void TearDown() override {
    for (const wchar_t* ext : {L".velmora-sz", L".velmora-expand", L".velmora-dword", L".velmora-none"})
      RegDeleteKeyW(HKEY_CLASSES_ROOT, ext);
  }

  static void registerType(const wchar_t* ext, DWORD type, const void* data, DWORD size) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, ext, 0, nullptr,
                              0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (data) RegSetValueExW(key, L"Content Type", 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
  }
  static void registerText(const wchar_t* ext, DWORD type, const wchar_t* text) {
    registerType(ext, type, text, static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t)));
  }
};

TEST_F(MimeType, RegisteredStringsAndEverythingElse) {
  registerText(L".velmora-sz", REG_SZ, L"image/x-velmora");
  registerText(L".velmora-expand", REG_EXPAND_SZ, L"text/%VELMORA%");
  DWORD number = 7;
  registerType(L".velmora-dword", REG_DWORD, &number, sizeof number);
  registerType(L".velmora-none", REG_SZ, nullptr, 0);

  EXPECT_EQ(MimeTypeFromExtension(u".velmora-sz"), u"image/x-velmora");
  EXPECT_EQ(MimeTypeFromExtension(u"velmora-sz"), u"image/x-velmora");  // the dot is added
  EXPECT_EQ(MimeTypeFromExtension(u".velmora-expand"), u"text/%VELMORA%");  // not expanded
  for (const char16_t* other : {u".velmora-dword", u".velmora-none", u".velmora-unregistered", u".", u""})
    EXPECT_EQ(MimeTypeFromExtension(other), u"application/octet-stream") << toUtf8(other);
}
