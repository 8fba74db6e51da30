// platform::HttpGet (libcurl) against the local test server: how
// connections are kept and replaced, which the Windows tests' server cannot
// show. What holds for every backend is tested in Http_test.

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Http.h"
#include "support/RecordingHttpSink.h"
#include "support/TestHttpServer.h"

namespace varo::platform {
namespace {

using test::TestHttpServer;
using RecordingSink = test::RecordingHttpSink;

// Fetches url on a thread of its own, as every download job does.
HttpOutcome GetOnAThread(const std::string& url, RecordingSink& sink) {
  HttpOutcome outcome = HttpOutcome::Failed;
  std::thread([&] {
    sink.Owner = std::this_thread::get_id();
    outcome = HttpGet(url, sink);
  }).join();
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

// libcurl reads the body of a redirection it follows to its end, to keep
// the connection, and the sink never sees it: such a body is bounded here.
// A short one passes; one longer than any redirection needs fails the
// transfer before the redirection is followed, rather than be read in full
// (or, endless, hold the transfer for ever however fast it comes).
TEST(CurlHttpTest, ARedirectionsBodyIsReadOnlyAsFarAsABound) {
  TestHttpServer server(TestHttpServer::Transport::Plain, TestHttpServer::Connections::KeptAlive);
  server.Serve("/final", "the file");
  server.Redirect("/short", "/final", 302, std::string(16 << 10, 'r'));
  server.Redirect("/long", "/final", 302, std::string(std::size_t{16} << 20, 'r'));
  RecordingSink followed;
  EXPECT_EQ(HttpGet(server.Url("/short"), followed), HttpOutcome::Complete);
  EXPECT_EQ(followed.Body, "the file");
  RecordingSink refused;
  EXPECT_EQ(HttpGet(server.Url("/long"), refused), HttpOutcome::Failed);
  EXPECT_TRUE(refused.Statuses.empty());
  EXPECT_EQ(server.RequestCount("/final"), 1u) << "the long one was followed";
}

}  // namespace
}  // namespace varo::platform
