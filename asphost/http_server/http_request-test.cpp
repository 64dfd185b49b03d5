#include "asphost/http_server/http_request.h"

#include <gtest/gtest.h>

namespace asphost {
namespace {

HeadStatus Parse(std::string_view data, RequestHead* head, size_t* used = nullptr, size_t limit = 8192) {
  size_t length = 0;
  HeadStatus status = ParseRequestHead(data, limit, head, &length);
  if (used) *used = length;
  return status;
}

TEST(RequestHead, ParsesTheRequestLineAndHeaders) {
  RequestHead head;
  size_t used = 0;
  std::string data =
      "\r\nPOST /up%20load/page.asp?id=a%20b&x HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "content-length:  12 \r\nX-Empty:\r\nExpect: 100-continue\r\n\r\nbody";
  ASSERT_EQ(Parse(data, &head, &used), HeadStatus::kComplete);
  EXPECT_EQ(used, data.size() - 4);
  EXPECT_EQ(head.method, "POST");
  EXPECT_EQ(head.target, "/up%20load/page.asp?id=a%20b&x");
  EXPECT_EQ(head.path, "/up load/page.asp");
  EXPECT_EQ(head.query, "id=a%20b&x");
  EXPECT_EQ(head.contentLength, 12);
  ASSERT_NE(head.Find("CONTENT-LENGTH"), nullptr);
  EXPECT_EQ(*head.Find("x-empty"), "");
  EXPECT_EQ(head.Find("Cookie"), nullptr);
  EXPECT_TRUE(head.KeepAlive());
  EXPECT_TRUE(head.ExpectsContinue());
}

TEST(RequestHead, KeepAliveFollowsVersionAndConnection) {
  struct Case {
    const char* head;
    bool keepAlive;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: h\r\n\r\n", true},
      {"GET / HTTP/1.1\r\nHost: h\r\nConnection: Close\r\n\r\n", false},
      {"GET / HTTP/1.1\r\nHost: h\r\nConnection: TE, close\r\n\r\n", false},
      {"GET / HTTP/1.0\r\n\r\n", false},
      {"GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", true},
  };
  for (const Case& c : cases) {
    RequestHead head;
    ASSERT_EQ(Parse(c.head, &head), HeadStatus::kComplete) << c.head;
    EXPECT_EQ(head.KeepAlive(), c.keepAlive) << c.head;
  }
}

TEST(RequestHead, RejectsWhatItCannotServe) {
  struct Case {
    std::string head;
    HeadStatus status;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: h\r\n", HeadStatus::kIncomplete},
      {"", HeadStatus::kIncomplete},
      {"GARBAGE\r\n\r\n", HeadStatus::kMalformed},
      {"GET /\r\n\r\n", HeadStatus::kMalformed},
      {"GET  / HTTP/1.1\r\nHost: h\r\n\r\n", HeadStatus::kMalformed},
      {"GET / HTTP/2.0\r\nHost: h\r\n\r\n", HeadStatus::kMalformed},
      {"GET http://x/ HTTP/1.1\r\nHost: h\r\n\r\n", HeadStatus::kMalformed},
      {"G(T / HTTP/1.1\r\nHost: h\r\n\r\n", HeadStatus::kMalformed},
      {"GET /a\x01 HTTP/1.1\r\nHost: h\r\n\r\n", HeadStatus::kMalformed},
      {"GET / HTTP/1.1\r\n\r\n", HeadStatus::kMalformed},  // no Host
      {"GET / HTTP/1.1\r\nHost: h\r\nBad Name: x\r\n\r\n", HeadStatus::kMalformed},
      {"GET / HTTP/1.1\r\nHost: h\r\nNoColon\r\n\r\n", HeadStatus::kMalformed},
      {"GET / HTTP/1.1\r\nHost: h\r\nX: a\nb\r\n\r\n", HeadStatus::kMalformed},
      {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: -1\r\n\r\n", HeadStatus::kMalformed},
      {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 1x\r\n\r\n", HeadStatus::kMalformed},
      {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 9999999999999999\r\n\r\n", HeadStatus::kMalformed},
      {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", HeadStatus::kMalformed},
      {"POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\n", HeadStatus::kComplete},
      {"POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n", HeadStatus::kUnsupportedBody},
      {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", HeadStatus::kTooLarge},
      {"GET /" + std::string(9000, 'a'), HeadStatus::kTooLarge},
  };
  for (const Case& c : cases) {
    RequestHead head;
    EXPECT_EQ(Parse(c.head, &head), c.status) << c.head.substr(0, 80);
  }
  std::string many = "GET / HTTP/1.1\r\nHost: h\r\n";
  for (int i = 0; i < 100; ++i) many += "X: y\r\n";
  RequestHead head;
  EXPECT_EQ(Parse(many + "\r\n", &head), HeadStatus::kTooLarge);
}

// The limit holds the whole head: the empty lines before it, its lines and
// the blank line ending it. Nothing a client sends before the end of a head
// escapes it, however it is cut.
TEST(RequestHead, EveryByteBeforeTheEndCountsTowardTheLimit) {
  const std::string request = "GET / HTTP/1.1\r\nHost: h\r\n\r\n";
  const size_t limit = 64;
  std::string exact = request;
  exact.insert(exact.find("\r\n\r\n"), "\r\nX: " + std::string(limit - request.size() - 5, 'v'));
  ASSERT_EQ(exact.size(), limit);
  struct Case {
    const char* name;
    std::string data;
    HeadStatus status;
  } cases[] = {
      {"a head of exactly the limit", exact, HeadStatus::kComplete},
      {"the same with its body after it", exact + "body", HeadStatus::kComplete},
      {"one byte more", "\r\n" + exact, HeadStatus::kTooLarge},
      {"empty lines up to the limit",
       [] {
         std::string s;
         for (size_t i = 0; i < limit / 2; ++i) s += "\r\n";
         return s;
       }(),
       HeadStatus::kTooLarge},
      {"empty lines, then a head that ends past the limit",
       [&] {
         std::string s;
         for (size_t i = 0; i < 20; ++i) s += "\r\n";
         return s + request;
       }(),
       HeadStatus::kTooLarge},
      {"empty lines, then a head within the limit", "\r\n\r\n" + request, HeadStatus::kComplete},
      {"a line without end, one byte short of the limit", "GET /" + std::string(limit - 6, 'a'),
       HeadStatus::kIncomplete},
      {"a line without end, at the limit", "GET /" + std::string(limit - 5, 'a'),
       HeadStatus::kTooLarge},
  };
  for (const Case& c : cases) {
    RequestHead head;
    size_t used = 0;
    EXPECT_EQ(Parse(c.data, &head, &used, limit), c.status) << c.name;
    if (c.status == HeadStatus::kComplete) {
      EXPECT_LE(used, limit) << c.name;
    }
  }
}

TEST(UrlEncoding, DecodesQueryStringsAndForms) {
  EXPECT_EQ(PercentDecode("a%20b+c%2Bd%zz%4", true), "a b c+d%zz%4");
  EXPECT_EQ(PercentDecode("a+b%C3%A9", false), "a+b\xC3\xA9");
  auto pairs = ParseUrlEncoded("a=1&&b=x+y&a=%26&flag&=v&e=");
  std::vector<std::pair<std::string, std::string>> expected = {
      {"a", "1"}, {"b", "x y"}, {"a", "&"}, {"flag", ""}, {"", "v"}, {"e", ""}};
  EXPECT_EQ(pairs, expected);
}

}  // namespace
}  // namespace asphost
