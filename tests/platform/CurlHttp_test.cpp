// platform::HttpGet (libcurl) against the local test server: what the sink
// receives and when, and how each kind of transfer ends.

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Http.h"
#include "support/TestHttpServer.h"

namespace varo::platform {
namespace {

using namespace std::chrono_literals;
using test::TestHttpServer;

// Records the calls; the answers can be chosen.
class RecordingSink : public HttpSink {
 public:
  bool OnResponse(const HttpResponse& response) override {
    Statuses.push_back(response.Status);
    Responses.push_back(response);
    EXPECT_TRUE(Body.empty()) << "status after body data";
    return AcceptResponse;
  }
  bool OnData(const char* data, std::size_t size) override {
    EXPECT_EQ(Statuses.size(), 1u) << "body data without exactly one status before it";
    EXPECT_GT(size, 0u);
    Body.append(data, size);
    if (Throw) {
      throw std::runtime_error("sink failed");
    }
    return AcceptData;
  }
  bool KeepGoing() override {
    ++Asked;
    return Going(Asked);
  }

  bool AcceptResponse = true;
  bool AcceptData = true;
  bool Throw = false;
  std::function<bool(int)> Going = [](int) { return true; };
  std::vector<int> Statuses;
  std::vector<HttpResponse> Responses;  // the whole of each, headers too
  std::string Body;
  int Asked = 0;
};

struct Row {
  const char* Name;
  std::function<std::string(TestHttpServer&)> Prepare;  // gives the URL
  HttpOutcome Outcome;
  std::vector<int> Statuses;
  std::string Body;
};

TEST(CurlHttpTest, WhatTheSinkReceives) {
  const std::string big(100'000, 'b');
  const std::vector<Row> rows{
      {"200",
       [](TestHttpServer& s) { return s.Serve("/a", "hello"), s.Url("/a"); },
       HttpOutcome::Complete,
       {200},
       "hello"},
      {"empty 200",
       [](TestHttpServer& s) { return s.Serve("/e", ""), s.Url("/e"); },
       HttpOutcome::Complete,
       {200},
       ""},
      {"large 200",
       [&](TestHttpServer& s) { return s.Serve("/big", big), s.Url("/big"); },
       HttpOutcome::Complete,
       {200},
       big},
      {"404 with a body",
       [](TestHttpServer& s) { return s.Serve("/n", "none", 404), s.Url("/n"); },
       HttpOutcome::Complete,
       {404},
       "none"},
      {"empty 500",
       [](TestHttpServer& s) { return s.Serve("/f", "", 500), s.Url("/f"); },
       HttpOutcome::Complete,
       {500},
       ""},
      {"redirects with bodies",
       [](TestHttpServer& s) {
         s.Serve("/final", "the file");
         s.Redirect("/second", "/final", 307, "second redirection body");
         s.Redirect("/first", s.Url("/second"), 301, "first redirection body");
         return s.Url("/first");
       },
       HttpOutcome::Complete,
       {200},
       "the file"},
      {"redirect to another scheme",
       [](TestHttpServer& s) {
         s.Redirect("/ftp", "ftp://127.0.0.1/x");
         return s.Url("/ftp");
       },
       HttpOutcome::Failed,
       {},
       ""},
      {"redirect loop",
       [](TestHttpServer& s) {
         s.Redirect("/loop", "/loop");
         return s.Url("/loop");
       },
       HttpOutcome::Failed,
       {},
       ""},
      {"refused",
       [](TestHttpServer&) {
         int port = 0;
         {
           TestHttpServer closed;
           port = closed.Port();
         }
         return "http://127.0.0.1:" + std::to_string(port) + "/";
       },
       HttpOutcome::Failed,
       {},
       ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TestHttpServer server;
    RecordingSink sink;
    EXPECT_EQ(HttpGet(row.Prepare(server), sink), row.Outcome);
    EXPECT_EQ(sink.Statuses, row.Statuses);
    EXPECT_EQ(sink.Body, row.Body);
    EXPECT_GE(sink.Asked, 1);
  }
}

TEST(CurlHttpTest, BodyShorterThanAnnouncedFails) {
  TestHttpServer server;
  server.ServeCutShort("/short", std::string(3000, 's'), 5000);
  RecordingSink sink;
  EXPECT_EQ(HttpGet(server.Url("/short"), sink), HttpOutcome::Failed);
  EXPECT_LE(sink.Body.size(), 3000u);
}

TEST(CurlHttpTest, BadUrlsMakeNoConnection) {
  TestHttpServer server;
  const std::string port = std::to_string(server.Port());
  const std::vector<std::string> urls{"ftp://127.0.0.1:" + port + "/x",
                                      "file:///etc/hostname",
                                      "gopher://127.0.0.1:" + port,
                                      "http//127.0.0.1:" + port + "/x",
                                      "http://",
                                      "",
                                      "127.0.0.1/x",
                                      "http://127.0.0.1:99999/x",
                                      "http://[::1/x"};
  for (const std::string& url : urls) {
    SCOPED_TRACE(url);
    RecordingSink sink;
    EXPECT_EQ(HttpGet(url, sink), HttpOutcome::BadUrl);
    EXPECT_EQ(sink.Asked, 0);
    EXPECT_TRUE(sink.Statuses.empty());
  }
  EXPECT_TRUE(server.Requests().empty());
}

TEST(CurlHttpTest, SinkRefusals) {
  TestHttpServer server;
  server.Serve("/a", std::string(50'000, 'a'));
  {
    SCOPED_TRACE("status refused");
    RecordingSink sink;
    sink.AcceptResponse = false;
    EXPECT_EQ(HttpGet(server.Url("/a"), sink), HttpOutcome::Aborted);
    EXPECT_EQ(sink.Statuses, std::vector<int>{200});
    EXPECT_TRUE(sink.Body.empty());
  }
  {
    SCOPED_TRACE("empty body's status refused");
    server.Serve("/e", "", 404);
    RecordingSink sink;
    sink.AcceptResponse = false;
    EXPECT_EQ(HttpGet(server.Url("/e"), sink), HttpOutcome::Aborted);
    EXPECT_EQ(sink.Statuses, std::vector<int>{404});
  }
  {
    SCOPED_TRACE("data refused");
    RecordingSink sink;
    sink.AcceptData = false;
    EXPECT_EQ(HttpGet(server.Url("/a"), sink), HttpOutcome::Aborted);
    EXPECT_FALSE(sink.Body.empty());
    EXPECT_LT(sink.Body.size(), 50'000u);
  }
  {
    SCOPED_TRACE("refused before connecting");
    RecordingSink sink;
    sink.Going = [](int) { return false; };
    EXPECT_EQ(HttpGet(server.Url("/a"), sink), HttpOutcome::Aborted);
    EXPECT_EQ(sink.Asked, 1);
    EXPECT_TRUE(sink.Statuses.empty());
  }
}

TEST(CurlHttpTest, SinkExceptionComesOutAfterCleanUp) {
  TestHttpServer server;
  server.Serve("/a", "data");
  RecordingSink sink;
  sink.Throw = true;
  EXPECT_THROW(HttpGet(server.Url("/a"), sink), std::runtime_error);
  EXPECT_EQ(sink.Body, "data");
}

// A server that holds the request: the sink's refusal ends the wait within a
// poll round, before the response and in the middle of the body.
TEST(CurlHttpTest, RefusalWhileTheServerStalls) {
  TestHttpServer server;
  server.StallBeforeResponse("/before", "late");
  server.StallAfter("/during", std::string(10'000, 'd'), 3000);
  {
    RecordingSink sink;
    sink.Going = [&](int) { return server.RequestCount("/before") == 0; };
    EXPECT_EQ(HttpGet(server.Url("/before"), sink), HttpOutcome::Aborted);
    EXPECT_TRUE(sink.Statuses.empty());
  }
  {
    RecordingSink sink;
    sink.Going = [&](int) { return sink.Body.size() < 3000; };
    EXPECT_EQ(HttpGet(server.Url("/during"), sink), HttpOutcome::Aborted);
    EXPECT_EQ(sink.Body.size(), 3000u);
  }
}

// Without a refusal, the stall limit ends the wait. (libcurl measures the
// rate over a few seconds, so a stall after data takes longer to be seen.)
TEST(CurlHttpTest, StallLimitEndsTheTransfer) {
  TestHttpServer server;
  server.StallBeforeResponse("/before", "late");
  RecordingSink sink;
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(HttpGet(server.Url("/before"), sink, {.Connect = 60s, .LowSpeedTime = 1s}),
            HttpOutcome::Failed);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
  EXPECT_TRUE(sink.Statuses.empty());
}

// A server that keeps sending, but too little: 10 bytes every 100 ms is
// below 1024 bytes a second, and the transfer fails once that has lasted the
// limit, long before the body would be whole (about 6 s).
TEST(CurlHttpTest, TransferSlowerThanTheLowSpeedFails) {
  TestHttpServer server;
  server.Drip("/drip", std::string(600, 'd'), 10, 100ms);
  RecordingSink sink;
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(HttpGet(server.Url("/drip"), sink,
                    {.Connect = 60s, .LowSpeedBytesPerSecond = 1024, .LowSpeedTime = 1s}),
            HttpOutcome::Failed);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 4s);
  EXPECT_EQ(sink.Statuses, std::vector<int>{200});
  EXPECT_FALSE(sink.Body.empty()) << "the data came, only too slowly";
}

// About 20 KB a second for 1.5 s, longer than the low speed time: above a
// limit of 1024 bytes a second the whole body arrives; below one of 100 KB a
// second the transfer fails.
TEST(CurlHttpTest, LowSpeedLimitIsTheOneGiven) {
  TestHttpServer server;
  const std::string body(30'000, 's');
  server.Drip("/steady", body, 1000, 50ms);
  const struct {
    std::size_t BytesPerSecond;
    HttpOutcome Outcome;
  } cases[] = {{1024, HttpOutcome::Complete}, {std::size_t{100} << 10, HttpOutcome::Failed}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.BytesPerSecond);
    RecordingSink sink;
    EXPECT_EQ(
        HttpGet(server.Url("/steady"), sink,
                {.Connect = 60s, .LowSpeedBytesPerSecond = c.BytesPerSecond, .LowSpeedTime = 1s}),
        c.Outcome);
    EXPECT_EQ(sink.Body.size() == body.size(), c.Outcome == HttpOutcome::Complete);
  }
}

// Fetches url on a thread of its own, as every download job does.
HttpOutcome GetOnAThread(const std::string& url, RecordingSink& sink) {
  HttpOutcome outcome = HttpOutcome::Failed;
  std::thread([&] { outcome = HttpGet(url, sink); }).join();
  return outcome;
}

// The client ports of the requests, in order.
std::vector<int> PortsOf(const TestHttpServer& server) {
  std::vector<int> ports;
  for (const auto& request : server.Requests()) {
    EXPECT_NE(request.ClientPort, 0);
    ports.push_back(request.ClientPort);
  }
  return ports;
}

// Consecutive transfers, each on its own thread, go over one connection
// while the server keeps it (over plain http and TLS), and over a new one
// each when it does not. The requests stay HTTP/1.0 and ask for the
// connection to be kept.
TEST(CurlHttpTest, ConsecutiveTransfersShareTheConnectionTheServerKeeps) {
  // NOLINTNEXTLINE(concurrency-mt-unsafe): no other thread runs yet
  ASSERT_EQ(::setenv("SSL_CERT_FILE", TestHttpServer::TestCaFile().c_str(), 1), 0);
  const struct {
    const char* Name;
    TestHttpServer::Transport Transport;
    TestHttpServer::Connections Connections;
    std::size_t ConnectionsUsed;
  } cases[] = {
      {"kept, http", TestHttpServer::Transport::Plain, TestHttpServer::Connections::KeptAlive, 1},
      {"kept, https", TestHttpServer::Transport::TrustedTls, TestHttpServer::Connections::KeptAlive,
       1},
      {"closed after each", TestHttpServer::Transport::Plain,
       TestHttpServer::Connections::OnePerRequest, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TestHttpServer server(c.Transport, c.Connections);
    const std::vector<std::string> paths{"/list.xml", "/a", "/b", "/c"};
    for (const std::string& path : paths) {
      server.Serve(path, "body of " + path);
    }
    for (const std::string& path : paths) {
      RecordingSink sink;
      EXPECT_EQ(GetOnAThread(server.Url(path), sink), HttpOutcome::Complete);
      EXPECT_EQ(sink.Body, "body of " + path);
    }
    const std::vector<int> ports = PortsOf(server);
    ASSERT_EQ(ports.size(), paths.size());
    EXPECT_EQ(std::set<int>(ports.begin(), ports.end()).size(), c.ConnectionsUsed);
    for (const auto& request : server.Requests()) {
      EXPECT_EQ(request.Version, "HTTP/1.0");
      EXPECT_EQ(request.HeaderCount("Connection"), 1u);
      EXPECT_EQ(request.Header("Connection"), "Keep-Alive");
    }
  }
  ::unsetenv("SSL_CERT_FILE");  // NOLINT(concurrency-mt-unsafe)
}

// A server that closes a kept connection without saying so: the next
// transfer finds it gone, whether the close has arrived by then or comes
// only when the request is sent, and goes over a new connection without
// failing.
TEST(CurlHttpTest, AConnectionTheServerClosedIsReplaced) {
  TestHttpServer server(TestHttpServer::Transport::Plain, TestHttpServer::Connections::KeptAlive);
  constexpr int kRounds = 10;
  for (int round = 0; round < kRounds; ++round) {
    const std::string closing = "/closing" + std::to_string(round);
    const std::string next = "/next" + std::to_string(round);
    server.ServeThenClose(closing, "then closed");
    server.Serve(next, "after the close");
    for (const auto& [path, body] :
         {std::pair{closing, "then closed"}, {next, "after the close"}}) {
      SCOPED_TRACE(path);
      RecordingSink sink;
      EXPECT_EQ(HttpGet(server.Url(path), sink), HttpOutcome::Complete);
      EXPECT_EQ(sink.Body, body);
    }
  }
  const std::vector<int> ports = PortsOf(server);
  ASSERT_EQ(ports.size(), 2u * kRounds);
  for (std::size_t i = 1; i < ports.size(); i += 2) {
    EXPECT_NE(ports[i], ports[i - 1]) << "a new connection after the close";
    if (i + 1 < ports.size()) {
      EXPECT_EQ(ports[i + 1], ports[i]) << "which is kept for the next request";
    }
  }
}

// Requests for the rest of a body, over one kept connection: what goes on
// the wire, and the status, validators and piece that come back to the sink.
TEST(CurlHttpTest, RangesAskedAndValidatorsDelivered) {
  TestHttpServer server(TestHttpServer::Transport::Plain, TestHttpServer::Connections::KeptAlive);
  const std::string body = "0123456789abcdefghijklmnopqrstuvwxyz";
  const std::string date = "Wed, 01 Jan 2025 10:00:00 GMT";
  server.ServeRanged("/v", body, "\"v1\"", date);
  server.ServeRanged("/dated", body, "", date);
  server.Serve("/unasked", "a piece", 206);
  server.Redirect("/moved", "/v");
  const struct {
    const char* Name;
    std::string Path;
    std::optional<HttpRange> Range;
    std::string RangeSent;    // "" for none
    std::string IfRangeSent;  // "" for none
    HttpOutcome Outcome;
    std::vector<int> Statuses;
    std::string ETag;
    std::string LastModified;
    std::string ContentRange;
    std::string Body;
  } cases[] = {
      {"no range",
       "/v",
       std::nullopt,
       "",
       "",
       HttpOutcome::Complete,
       {200},
       "\"v1\"",
       date,
       "",
       body},
      {"the rest of the same version",
       "/v",
       HttpRange{10, "\"v1\""},
       "bytes=10-",
       "\"v1\"",
       HttpOutcome::Complete,
       {206},
       "\"v1\"",
       date,
       "bytes 10-35/36",
       body.substr(10)},
      {"the version changed",
       "/v",
       HttpRange{10, "\"v0\""},
       "bytes=10-",
       "\"v0\"",
       HttpOutcome::Complete,
       {200},
       "\"v1\"",
       date,
       "",
       body},
      {"a date as the validator",
       "/dated",
       HttpRange{30, date},
       "bytes=30-",
       date,
       HttpOutcome::Complete,
       {206},
       "",
       date,
       "bytes 30-35/36",
       body.substr(30)},
      {"a range without If-Range",
       "/v",
       HttpRange{35, ""},
       "bytes=35-",
       "",
       HttpOutcome::Complete,
       {206},
       "\"v1\"",
       date,
       "bytes 35-35/36",
       "z"},
      {"after a redirection",
       "/moved",
       HttpRange{20, "\"v1\""},
       "bytes=20-",
       "\"v1\"",
       HttpOutcome::Complete,
       {206},
       "\"v1\"",
       date,
       "bytes 20-35/36",
       body.substr(20)},
      {"past the end",
       "/v",
       HttpRange{36, "\"v1\""},
       "bytes=36-",
       "\"v1\"",
       HttpOutcome::Complete,
       {416},
       "\"v1\"",
       date,
       "bytes */36",
       ""},
      {"a piece that was not asked for",
       "/unasked",
       std::nullopt,
       "",
       "",
       HttpOutcome::Failed,
       {},
       "",
       "",
       "",
       ""},
      {"then a plain request again",
       "/v",
       std::nullopt,
       "",
       "",
       HttpOutcome::Complete,
       {200},
       "\"v1\"",
       date,
       "",
       body},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    RecordingSink sink;
    EXPECT_EQ(HttpGet(server.Url(c.Path), sink, {}, c.Range), c.Outcome);
    EXPECT_EQ(sink.Statuses, c.Statuses);
    EXPECT_EQ(sink.Body, c.Body);
    if (!c.Statuses.empty()) {
      ASSERT_EQ(sink.Responses.size(), 1u);
      EXPECT_EQ(sink.Responses[0].ETag, c.ETag);
      EXPECT_EQ(sink.Responses[0].LastModified, c.LastModified);
      EXPECT_EQ(sink.Responses[0].ContentRange, c.ContentRange);
    }
    const auto request = server.Requests().back();
    EXPECT_EQ(request.HeaderCount("Range"), c.RangeSent.empty() ? 0u : 1u);
    EXPECT_EQ(request.Header("Range"), c.RangeSent);
    EXPECT_EQ(request.HeaderCount("If-Range"), c.IfRangeSent.empty() ? 0u : 1u);
    EXPECT_EQ(request.Header("If-Range"), c.IfRangeSent);
  }
  const std::vector<int> ports = PortsOf(server);
  EXPECT_EQ(std::set<int>(ports.begin(), ports.end()).size(), 2u)
      << "the connection is kept but after the unasked piece";
}

}  // namespace
}  // namespace varo::platform
