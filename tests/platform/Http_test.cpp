// platform::HttpGet against the local test server, on every backend
// (libcurl on Linux, WinINet on Windows): what the sink receives, on which
// thread and when, what goes on the wire, and how each kind of transfer
// ends. How the libcurl backend keeps connections, which the Windows tests'
// server cannot show, is tested in CurlHttp_test.

#include "platform/Http.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/RecordingHttpSink.h"
#include "support/TestHttpServer.h"

namespace varo::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::TestHttpServer;
using RecordingSink = test::RecordingHttpSink;

// Readies the server for a row and gives the URL to fetch.
using Prepare = std::function<std::string(TestHttpServer&)>;

struct Row {
  const char* Name;
  Prepare Prepared;
  HttpOutcome Outcome;
  std::vector<int> Statuses;
  std::string Body;
};

// path answered with status and body.
Prepare Serving(const std::string& path, const std::string& body, int status = 200) {
  return [=](TestHttpServer& s) { return s.Serve(path, body, status), s.Url(path); };
}

// path redirected to location.
Prepare Redirecting(const std::string& path, const std::string& location) {
  return [=](TestHttpServer& s) { return s.Redirect(path, location), s.Url(path); };
}

std::string Numbered(std::size_t size) {
  std::string text(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    text[i] = static_cast<char>('a' + i % 26);
  }
  return text;
}

// A port on which nothing listens any more.
int ClosedPort() {
  const TestHttpServer closed;
  return closed.Port();
}

#ifdef _WIN32
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
void CloseSocket(Socket socket) {
  ::closesocket(socket);
}
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
void CloseSocket(Socket socket) {
  ::close(socket);
}
#endif

// A socket listening on a free port of 127.0.0.1, with the system's
// sockets set up for it where they need it (Windows).
class LoopbackListener {
 public:
  explicit LoopbackListener(int backlog) {
#ifdef _WIN32
    WSADATA data;
    EXPECT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
#endif
    Handle = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    Address.sin_family = AF_INET;
    Address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof Address;
    EXPECT_EQ(::bind(Handle, reinterpret_cast<const sockaddr*>(&Address), sizeof Address), 0);
    EXPECT_EQ(::listen(Handle, backlog), 0);
    EXPECT_EQ(::getsockname(Handle, reinterpret_cast<sockaddr*>(&Address), &size), 0);
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;
  ~LoopbackListener() {
    CloseSocket(Handle);
#ifdef _WIN32
    ::WSACleanup();
#endif
  }

  int Port() const {
    return ntohs(Address.sin_port);
  }

  Socket Handle = kNoSocket;
  sockaddr_in Address{};
};

// A port where connections are never made: it listens but never accepts,
// and its backlog is filled, so that the system leaves further connection
// attempts unanswered (Linux does, also under Wine; Windows may refuse
// them).
class UnansweredPort {
 public:
  UnansweredPort() {
    for (Socket& filler : Fillers) {
      filler = StartConnecting(Listening.Address);
    }
    // A further attempt that is neither made nor refused for a while shows
    // that the port holds connections off.
    const Socket probe = StartConnecting(Listening.Address);
    fd_set written;
    fd_set failed;
    FD_ZERO(&written);
    FD_ZERO(&failed);
    FD_SET(probe, &written);
    FD_SET(probe, &failed);
    timeval wait{0, 300'000};
    Unanswered = ::select(static_cast<int>(probe) + 1, nullptr, &written, &failed, &wait) == 0;
    CloseSocket(probe);
  }
  UnansweredPort(const UnansweredPort&) = delete;
  UnansweredPort& operator=(const UnansweredPort&) = delete;
  ~UnansweredPort() {
    for (const Socket filler : Fillers) {
      CloseSocket(filler);
    }
  }

  std::string Url() const { return "http://127.0.0.1:" + std::to_string(Listening.Port()) + "/"; }
  bool Unanswered = false;

 private:
  static Socket StartConnecting(const sockaddr_in& address) {
    const Socket connecting = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#ifdef _WIN32
    u_long nonBlocking = 1;
    ::ioctlsocket(connecting, FIONBIO, &nonBlocking);
#else
    ::fcntl(connecting, F_SETFL, ::fcntl(connecting, F_GETFL) | O_NONBLOCK);
#endif
    // Not blocking, the attempt goes on after the call, which says so.
    (void)::connect(connecting, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return connecting;
  }

  LoopbackListener Listening{0};
  Socket Fillers[4] = {kNoSocket, kNoSocket, kNoSocket, kNoSocket};
};

// A server that answers every connection with the same bytes, whatever the
// request, then closes it: for answers the test server would never give.
class RawAnswerServer {
 public:
  explicit RawAnswerServer(std::string answer) : Answer(std::move(answer)) {
    Worker = std::thread([this] { Serve(); });
  }
  RawAnswerServer(const RawAnswerServer&) = delete;
  RawAnswerServer& operator=(const RawAnswerServer&) = delete;
  ~RawAnswerServer() {
    Stopping = true;
    // A connection of its own wakes the accepting thread.
    const Socket waker = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    (void)::connect(waker, reinterpret_cast<const sockaddr*>(&Listening.Address),
                    sizeof Listening.Address);
    Worker.join();
    CloseSocket(waker);
  }

  std::string Url() const {
    return "http://127.0.0.1:" + std::to_string(Listening.Port()) + "/raw";
  }

 private:
  void Serve() {
    for (;;) {
      const Socket connection = ::accept(Listening.Handle, nullptr, nullptr);
      if (connection == kNoSocket || Stopping) {
        if (connection != kNoSocket) {
          CloseSocket(connection);
        }
        return;
      }
      // The request's head, then the answer, then the end of the connection.
      std::string request;
      char buffer[1024];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const auto got = ::recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) {
          break;
        }
        request.append(buffer, static_cast<std::size_t>(got));
      }
      (void)::send(connection, Answer.data(), static_cast<int>(Answer.size()), 0);
#ifdef _WIN32
      ::shutdown(connection, SD_SEND);
#else
      ::shutdown(connection, SHUT_WR);
#endif
      CloseSocket(connection);
    }
  }

  std::string Answer;
  LoopbackListener Listening{4};
  std::atomic<bool> Stopping{false};
  std::thread Worker;
};

// Answers that the test server never gives, as a broken or hostile server
// may: every backend fails those that are no whole HTTP response, and
// hands on no byte past the announced length.
TEST(HttpTest, OddAnswers) {
  const struct {
    const char* Name;
    std::string Answer;
    HttpOutcome Outcome;
    std::string Body;  // of a complete transfer
  } cases[] = {
      {"no status line", "xyz", HttpOutcome::Failed, ""},
      {"a status of four digits", "HTTP/1.0 2000 OK\r\nContent-Length: 5\r\n\r\nhello",
       HttpOutcome::Failed, ""},
      {"a negative status", "HTTP/1.0 -200 OK\r\nContent-Length: 5\r\n\r\nhello",
       HttpOutcome::Failed, ""},
      {"a length that is no number", "HTTP/1.0 200 OK\r\nContent-Length: abc\r\n\r\nhello",
       HttpOutcome::Failed, ""},
      {"a negative length", "HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\nhello",
       HttpOutcome::Failed, ""},
      {"a long-written length beyond the body",
       "HTTP/1.0 200 OK\r\nContent-Length: " + std::string(40, '0') + "9\r\n\r\nhello",
       HttpOutcome::Failed, ""},
      {"a body longer than its length", "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nhello",
       HttpOutcome::Complete, "hel"},
      {"the last of two lengths counts (longer)",
       "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nContent-Length: 9\r\n\r\nhello",
       HttpOutcome::Failed, ""},
      {"the last of two lengths counts (shorter)",
       "HTTP/1.0 200 OK\r\nContent-Length: 9\r\nContent-Length: 5\r\n\r\nhello",
       HttpOutcome::Complete, "hello"},
      // No server may answer an HTTP/1.0 request in a transfer coding.
      {"a chunked body",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       HttpOutcome::Failed, ""},
      {"a chunked body cut off before its last chunk",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n", HttpOutcome::Failed,
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    const RawAnswerServer server(c.Answer);
    RecordingSink sink;
    EXPECT_EQ(HttpGet(server.Url(), sink, {.Connect = 10s, .LowSpeedTime = 5s}), c.Outcome);
    if (c.Outcome == HttpOutcome::Complete) {
      EXPECT_EQ(sink.Statuses, std::vector<int>{200});
      EXPECT_EQ(sink.Body, c.Body);
    }
  }
}

// While the connection is being made, the connect limit holds, and the sink
// is asked every tenth of a second and can end the wait.
TEST(HttpTest, WhileConnecting) {
  const UnansweredPort port;
  if (!port.Unanswered) {
    GTEST_SKIP() << "this system answers connection attempts beyond a full backlog";
  }
  {
    SCOPED_TRACE("connect limit");
    RecordingSink sink;
    const auto before = Clock::now();
    EXPECT_EQ(HttpGet(port.Url(), sink, {.Connect = 1s, .LowSpeedTime = 60s}), HttpOutcome::Failed);
    const auto took = Clock::now() - before;
#ifdef _WIN32
    EXPECT_GE(took, 1s);
#else
    // libcurl's timers count whole milliseconds, so the limit may end a
    // fraction of one early.
    EXPECT_GE(took, 1s - 2ms);
#endif
    EXPECT_LT(took, 3s);
    EXPECT_TRUE(sink.Statuses.empty());
  }
  {
    SCOPED_TRACE("refused meanwhile");
    RecordingSink sink;
    const auto before = Clock::now();
    sink.Going = [&](int) { return Clock::now() - before < 500ms; };
    EXPECT_EQ(HttpGet(port.Url(), sink), HttpOutcome::Aborted);
    EXPECT_LT(Clock::now() - before, 1500ms);
    EXPECT_LE(sink.LongestSilence(), RecordingSink::kSilence);
  }
}

TEST(HttpTest, WhatTheSinkReceives) {
  const std::string big = Numbered(100'000);
  const std::string odd = Numbered(5'000);
  const std::vector<Row> rows{
      {"200", Serving("/a", "hello"), HttpOutcome::Complete, {200}, "hello"},
      {"empty 200", Serving("/e", ""), HttpOutcome::Complete, {200}, ""},
      {"large 200", Serving("/big", big), HttpOutcome::Complete, {200}, big},
      {"body in odd blocks",
       [&](TestHttpServer& s) {
         return s.ServeInBlocks("/odd", odd, {1, 7, 1023, 1025, 3}), s.Url("/odd");
       },
       HttpOutcome::Complete,
       {200},
       odd},
      {"body without a length",
       [&](TestHttpServer& s) {
         return s.ServeWithoutLength("/nolength", odd), s.Url("/nolength");
       },
       HttpOutcome::Complete,
       {200},
       odd},
      {"empty 404", Serving("/n", "", 404), HttpOutcome::Complete, {404}, ""},
      {"404 with a body", Serving("/n", "none", 404), HttpOutcome::Complete, {404}, "none"},
      {"empty 500", Serving("/f", "", 500), HttpOutcome::Complete, {500}, ""},
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
       Redirecting("/ftp", "ftp://127.0.0.1/x"),
       HttpOutcome::Failed,
       {},
       ""},
      {"redirect loop", Redirecting("/loop", "/loop"), HttpOutcome::Failed, {}, ""},
      {"refused",
       [](TestHttpServer&) { return "http://127.0.0.1:" + std::to_string(ClosedPort()) + "/"; },
       HttpOutcome::Failed,
       {},
       ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    TestHttpServer server;
    RecordingSink sink;
    const std::string url = row.Prepared(server);
    const auto before = Clock::now();
    EXPECT_EQ(HttpGet(url, sink), row.Outcome);
    EXPECT_LT(Clock::now() - before, 10s) << "ended by the 60 s limits, not by itself";
    EXPECT_EQ(sink.Statuses, row.Statuses);
    EXPECT_EQ(sink.Body, row.Body);
    EXPECT_GE(sink.Asks.size(), 1u);
  }
}

// https asks for TLS and never falls back to plain http: against a server
// that does not speak TLS, no request gets through and no status comes.
TEST(HttpTest, HttpsIsNeverPlain) {
  TestHttpServer server;
  server.Serve("/plain", "not over TLS");
  RecordingSink sink;
  const std::string url = "https://127.0.0.1:" + std::to_string(server.Port()) + "/plain";
  EXPECT_EQ(HttpGet(url, sink, {.Connect = 5s, .LowSpeedTime = 1s}), HttpOutcome::Failed);
  EXPECT_TRUE(sink.Statuses.empty());
  EXPECT_EQ(server.RequestCount("/plain"), 0u);
}

TEST(HttpTest, BodyShorterThanAnnouncedFails) {
  TestHttpServer server;
  server.ServeCutShort("/short", std::string(3000, 's'), 5000);
  RecordingSink sink;
  EXPECT_EQ(HttpGet(server.Url("/short"), sink), HttpOutcome::Failed);
  EXPECT_LE(sink.Body.size(), 3000u);
}

TEST(HttpTest, WhatGoesOnTheWire) {
  TestHttpServer server;
  server.Serve("/dir/file name.xml", "x");
  const std::string url =
      "http://127.0.0.1:" + std::to_string(server.Port()) + "/dir/file name.xml?v=1#part";
  RecordingSink sink;
  ASSERT_EQ(HttpGet(url, sink), HttpOutcome::Complete);
  EXPECT_EQ(sink.Body, "x");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  const TestHttpServer::Request& request = requests.front();
  EXPECT_EQ(request.Method, "GET");
  EXPECT_EQ(request.Version, "HTTP/1.0");
  EXPECT_EQ(request.Path, "/dir/file name.xml");
  for (const auto& [name, value] :
       {std::pair{"User-Agent", "Pelliton_Orlan"}, std::pair{"Accept", "*/*"}}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(request.HeaderCount(name), 1u);
    EXPECT_EQ(request.Header(name), value);
  }
  for (const char* absent : {"Authorization", "Cookie", "Proxy-Authorization"}) {
    EXPECT_EQ(request.HeaderCount(absent), 0u) << absent;
  }
}

// Up to ten redirections are followed, one more fails; every hop is asked
// for once.
TEST(HttpTest, RedirectionLimit) {
  const struct {
    int Redirections;
    HttpOutcome Outcome;
  } cases[] = {{10, HttpOutcome::Complete}, {11, HttpOutcome::Failed}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Redirections);
    TestHttpServer server;
    server.Serve("/final", "end");
    for (int i = 0; i < c.Redirections; ++i) {
      server.Redirect("/r" + std::to_string(i),
                      i + 1 == c.Redirections ? "/final" : "/r" + std::to_string(i + 1));
    }
    RecordingSink sink;
    EXPECT_EQ(HttpGet(server.Url("/r0"), sink), c.Outcome);
    EXPECT_EQ(sink.Body, c.Outcome == HttpOutcome::Complete ? "end" : "");
    EXPECT_EQ(server.Requests().size(), std::size_t{11});
  }
}

// Credentials in a URL, given or redirected to, never go on the wire.
TEST(HttpTest, CredentialsInUrlsAreNotSent) {
  TestHttpServer server;
  const std::string origin = "127.0.0.1:" + std::to_string(server.Port());
  server.Serve("/final", "x");
  server.Redirect("/first", "http://again:secret@" + origin + "/final");
  RecordingSink sink;
  ASSERT_EQ(HttpGet("http://user:secret@" + origin + "/first", sink), HttpOutcome::Complete);
  EXPECT_EQ(sink.Body, "x");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].HeaderCount("Authorization"), 0u) << "those of the URL given";
  EXPECT_EQ(requests[1].HeaderCount("Authorization"), 0u) << "those of the Location";
}

TEST(HttpTest, BadUrlsMakeNoConnection) {
  TestHttpServer server;
  const std::string port = std::to_string(server.Port());
#ifdef _WIN32
  const std::string localFile = "file:///C:/windows/win.ini";
#else
  const std::string localFile = "file:///etc/hostname";
#endif
  std::vector<std::string> urls{
      "ftp://127.0.0.1:" + port + "/x",
      localFile,
      "gopher://127.0.0.1:" + port,
      "http//127.0.0.1:" + port + "/x",
      "http://",
      "http://:" + port + "/x",
      "",
      "127.0.0.1/x",
      "http://127.0.0.1:99999/x",
      // cut to 16 bits, this would be the server's port
      "http://127.0.0.1:" + std::to_string(server.Port() + 65536) + "/x",
      "http://127.0.0.1:x/",
      "http://[::1/x",
      "http://127.0.0.1:" + port + "/a\r\nX-Injected: 1",
  };
#ifdef _WIN32
  // Bytes that are no UTF-8 do not become the wide string WinINet takes;
  // libcurl sends them percent-encoded instead.
  urls.push_back("http://127.0.0.1:" + port + "/\xff\xfe");
#endif
  for (const std::string& url : urls) {
    SCOPED_TRACE(url);
    RecordingSink sink;
    EXPECT_EQ(HttpGet(url, sink), HttpOutcome::BadUrl);
    EXPECT_TRUE(sink.Asks.empty());
    EXPECT_TRUE(sink.Statuses.empty());
  }
  EXPECT_TRUE(server.Requests().empty());
}

// A host with letters beyond ASCII is looked up in its ASCII form; one that
// has none fails as a name that does not resolve would. Either way the URL
// is well formed: the transfer fails, it is no bad URL.
TEST(HttpTest, HostsBeyondAsciiThatDoNotResolveFail) {
  HttpLimits limits;
  limits.Connect = 10s;
  for (const std::string url : {"http://b\xc3\xbc"
                                "cher.invalid/x",
                                "https://\xe4\xbe\x8b.invalid:8443/x",
                                "http://a\xcd\xb8"
                                "b.invalid/x",
                                // A right-to-left override, as bytes.
                                // NOLINTNEXTLINE(misc-misleading-bidirectional)
                                "http://a\xe2\x80\xae"
                                "b.test/x"}) {
    SCOPED_TRACE(url);
    RecordingSink sink;
    EXPECT_EQ(HttpGet(url, sink, limits), HttpOutcome::Failed);
    EXPECT_TRUE(sink.Statuses.empty());
  }
}

// A Location with letters beyond ASCII, in UTF-8 as servers send them, is
// followed to those letters, as libcurl follows it on Linux.
TEST(HttpTest, RedirectionsKeepTheLettersOfTheirLocation) {
  TestHttpServer server;
  server.Serve(
      "/files/b\xc3\xbc"
      "cher \xe6\x9b\xb4\xe6\x96\xb0.dat",
      "x");
  server.Redirect("/relative",
                  "/files/b\xc3\xbc"
                  "cher \xe6\x9b\xb4\xe6\x96\xb0.dat");
  server.Redirect("/absolute", server.Url("/files/b\xc3\xbc"
                                          "cher \xe6\x9b\xb4\xe6\x96\xb0.dat"));
  for (const char* path : {"/relative", "/absolute"}) {
    SCOPED_TRACE(path);
    RecordingSink sink;
    EXPECT_EQ(HttpGet(server.Url(path), sink), HttpOutcome::Complete);
    EXPECT_EQ(sink.Body, "x");
  }
  EXPECT_EQ(server.RequestCount("/files/b\xc3\xbc"
                                "cher \xe6\x9b\xb4\xe6\x96\xb0.dat"),
            2u);
}

// A redirection to such a host fails the same way, without a request there.
TEST(HttpTest, RedirectionsToHostsBeyondAsciiThatDoNotResolveFail) {
  TestHttpServer server;
  server.Redirect("/idn",
                  "http://b\xc3\xbc"
                  "cher.invalid/x");
  server.Redirect("/none",
                  "http://a\xcd\xb8"
                  "b.invalid/x");
  HttpLimits limits;
  limits.Connect = 10s;
  for (const char* path : {"/idn", "/none"}) {
    SCOPED_TRACE(path);
    RecordingSink sink;
    EXPECT_EQ(HttpGet(server.Url(path), sink, limits), HttpOutcome::Failed);
    EXPECT_TRUE(sink.Statuses.empty());
  }
}

TEST(HttpTest, SinkRefusals) {
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
    EXPECT_EQ(sink.Asks.size(), 1u);
    EXPECT_TRUE(sink.Statuses.empty());
  }
  EXPECT_EQ(server.RequestCount("/a"), 2u) << "a request after a refusal before connecting";
}

TEST(HttpTest, SinkExceptionComesOutAfterCleanUp) {
  TestHttpServer server;
  server.Serve("/a", "data");
  RecordingSink sink;
  sink.Throw = true;
  EXPECT_THROW(HttpGet(server.Url("/a"), sink), std::runtime_error);
  EXPECT_EQ(sink.Body, "data");
}

// A server that accepts and holds the request: the sink is asked every
// tenth of a second meanwhile, and its refusal ends the wait at once, both
// before the response and in the middle of the body.
TEST(HttpTest, RefusalWhileTheServerStalls) {
  TestHttpServer server;
  server.StallBeforeResponse("/before", "late");
  server.StallAfter("/during", std::string(10'000, 'd'), 3000);
  {
    SCOPED_TRACE("before the response");
    RecordingSink sink;
    Clock::time_point refused{};
    Clock::time_point stalled{};
    sink.Going = [&](int) {
      if (server.RequestCount("/before") == 0) {
        return true;
      }
      if (stalled == Clock::time_point{}) {
        stalled = Clock::now();
      }
      if (Clock::now() - stalled < 500ms) {
        return true;  // a while of waiting, to see how often the sink is asked
      }
      refused = Clock::now();
      return false;
    };
    EXPECT_EQ(HttpGet(server.Url("/before"), sink), HttpOutcome::Aborted);
    EXPECT_LT(Clock::now() - refused, 1s);
    EXPECT_LE(sink.LongestSilence(), RecordingSink::kSilence);
    EXPECT_TRUE(sink.Statuses.empty());
  }
  {
    SCOPED_TRACE("in the body");
    RecordingSink sink;
    Clock::time_point refused{};
    sink.Going = [&](int) {
      if (sink.Body.size() < 3000) {
        return true;
      }
      refused = Clock::now();
      return false;
    };
    EXPECT_EQ(HttpGet(server.Url("/during"), sink), HttpOutcome::Aborted);
    EXPECT_LT(Clock::now() - refused, 1s);
    EXPECT_EQ(sink.Body.size(), 3000u);
  }
}

// Without a refusal, the low-speed limit ends a wait for the response.
// (libcurl measures the rate over a few seconds, so a stall after data
// takes longer to be seen.)
TEST(HttpTest, StallLimitEndsTheTransfer) {
  TestHttpServer server;
  server.StallBeforeResponse("/before", "late");
  RecordingSink sink;
  const auto before = Clock::now();
  EXPECT_EQ(HttpGet(server.Url("/before"), sink, {.Connect = 60s, .LowSpeedTime = 1s}),
            HttpOutcome::Failed);
  const auto took = Clock::now() - before;
  EXPECT_GE(took, 1s);
  EXPECT_LT(took, 3s);
  EXPECT_TRUE(sink.Statuses.empty());
}

// A server that keeps sending, but too little: 10 bytes every 100 ms is
// below 1024 bytes a second, and the transfer fails once that has lasted the
// limit, long before the body would be whole (about 6 s).
TEST(HttpTest, TransferSlowerThanTheLowSpeedFails) {
  TestHttpServer server;
  server.Drip("/drip", std::string(600, 'd'), 10, 100ms);
  RecordingSink sink;
  const auto before = Clock::now();
  EXPECT_EQ(HttpGet(server.Url("/drip"), sink,
                    {.Connect = 60s, .LowSpeedBytesPerSecond = 1024, .LowSpeedTime = 1s}),
            HttpOutcome::Failed);
  EXPECT_LT(Clock::now() - before, 3s);
  EXPECT_EQ(sink.Statuses, std::vector<int>{200});
  EXPECT_FALSE(sink.Body.empty()) << "the data came, only too slowly";
}

// About 20 KB a second for 1.5 s, longer than the low speed time: above a
// limit of 1024 bytes a second the whole body arrives; below one of 100 KB a
// second the transfer fails.
TEST(HttpTest, LowSpeedLimitIsTheOneGiven) {
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

// Requests for the rest of a body, over one kept connection where the
// server keeps it: what goes on the wire, and the status, validators and
// piece that come back to the sink. A 206 is taken only when a range was
// asked for.
TEST(HttpTest, RangesAskedAndValidatorsDelivered) {
  TestHttpServer server(TestHttpServer::Transport::Plain, TestHttpServer::Connections::KeptAlive);
  const std::string body = "0123456789abcdefghijklmnopqrstuvwxyz";
  const std::string date = "Wed, 01 Jan 2025 10:00:00 GMT";
  server.ServeRanged("/v", body, "\"v1\"", date);
  server.ServeRanged("/dated", body, "", date);
  server.Serve("/unasked", "a piece", 206);
  server.Redirect("/moved", "/v");
  struct Case {
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
  };
  const Case plain{"no range", "/v",     std::nullopt, "", "",  HttpOutcome::Complete,
                   {200},      "\"v1\"", date,         "", body};
  Case plainAgain = plain;
  plainAgain.Name = "then a plain request again";
  const Case cases[] = {
      plain,
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
      plainAgain,
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
#ifndef _WIN32
  // The Windows tests' server closes every connection and tells no client
  // ports; this one keeps them.
  std::set<int> ports;
  for (const auto& request : server.Requests()) {
    EXPECT_NE(request.ClientPort, 0);
    ports.insert(request.ClientPort);
  }
  EXPECT_EQ(ports.size(), 2u) << "the connection is kept but after the unasked piece";
#endif
}

}  // namespace
}  // namespace varo::platform
