// Whole runs against a server that misbehaves at the socket level: it dies
// in the middle of a body, resets the connection, sends more than it
// announced, or redirects in a loop. Each ends as a download ends (the file
// whole and installed, or the run failing on it with the old file whole),
// never with a file that holds what the server should not have sent.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"
#include "support/WholeRun.h"

namespace varo {
namespace {

// A server on 127.0.0.1 that answers each connection's first request by a
// script of raw bytes per path: what to send, and whether to end with a
// reset (RST) instead of an orderly close. One connection at a time.
class RawServer {
 public:
  struct Answer {
    std::string Bytes;
    bool Reset = false;
  };

  RawServer() {
    Listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (Listener < 0 || ::bind(Listener, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(Listener, 8) != 0 ||
        ::getsockname(Listener, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      ADD_FAILURE() << "no listening socket";
      return;
    }
    Port = ntohs(address.sin_port);
    Thread = std::thread([this] { Serve(); });
  }
  ~RawServer() {
    Stopping = true;
    ::shutdown(Listener, SHUT_RDWR);
    ::close(Listener);
    if (Thread.joinable()) {
      Thread.join();
    }
  }
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(Port) + path;
  }
  // Set before the run; read by the server's thread.
  std::map<std::string, Answer> Answers;
  std::atomic<int> Requests{0};

 private:
  void Serve() {
    while (!Stopping) {
      const int connection = ::accept(Listener, nullptr, nullptr);
      if (connection < 0) {
        return;
      }
      std::string request;
      char block[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = ::recv(connection, block, sizeof block, 0);
        if (got <= 0) {
          break;
        }
        request.append(block, static_cast<std::size_t>(got));
      }
      ++Requests;
      const std::size_t start = request.find(' ') + 1;
      const std::string path = request.substr(start, request.find(' ', start) - start);
      const auto answer = Answers.find(path);
      const Answer reply = answer != Answers.end()
                               ? answer->second
                               : Answer{"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"};
      ::send(connection, reply.Bytes.data(), reply.Bytes.size(), MSG_NOSIGNAL);
      if (reply.Reset) {
        const linger abort{1, 0};
        ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
      }
      ::close(connection);
    }
  }

  int Listener = -1;
  int Port = 0;
  std::atomic<bool> Stopping{false};
  std::thread Thread;
};

std::string Head(std::size_t announced) {
  return "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
         std::to_string(announced) + "\r\n\r\n";
}

TEST(ServerFaultsTest, EachFaultEndsAsADownloadEnds) {
  struct Case {
    std::string Name;
    RawServer::Answer Answer;
    std::size_t Length;  // listed
    bool Installed;      // else the run fails on the file
  };
  const std::string body(100000, 'n');
  const std::vector<Case> cases{
      {"dies in the middle of the body", {Head(100000) + body.substr(0, 30000)}, 100000, false},
      {"resets the connection", {Head(100000) + body.substr(0, 30000), true}, 100000, false},
      {"sends more than it announced", {Head(5000) + body.substr(0, 8000)}, 5000, true},
      {"announces more than the list", {Head(100000) + body}, 5000, false},
      {"redirects in a loop",
       {"HTTP/1.0 302 Found\r\nLocation: /f\r\nContent-Length: 0\r\n\r\n"},
       5000,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    test::WholeRun run;
    RawServer server;
    server.Answers["/f"] = c.Answer;
    test::WriteFile(run.Install / "f.dat", "old");
    run.Run(
        "<UpdateList><File><FileName>f.dat</FileName><FileDateHigh>2000000000</FileDateHigh>"
        "<URL>" +
        server.Url("/f") + "</URL><Length>" + std::to_string(c.Length) +
        "</Length></File></UpdateList>");
    EXPECT_TRUE(run.Ended);
    if (c.Installed) {
      EXPECT_EQ(test::ReadFile(run.Install / "f.dat"), body.substr(0, c.Length));
      EXPECT_TRUE(run.Boxes.empty());
    } else {
      EXPECT_EQ(test::ReadFile(run.Install / "f.dat"), "old") << "the old file stays whole";
      ASSERT_EQ(run.Boxes.size(), 1u);
      EXPECT_NE(run.Boxes[0].find("下载文件失败 [f.dat]"), std::string::npos) << run.Boxes[0];
    }
  }
}

}  // namespace
}  // namespace varo
