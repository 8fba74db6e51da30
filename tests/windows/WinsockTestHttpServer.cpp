// test::TestHttpServer for the Windows tests, on plain Winsock: the same
// answers as the cpp-httplib server of the Linux tests, over http only (the
// cross build has no cpp-httplib library and no OpenSSL). One thread accepts,
// one thread per connection answers one request and closes the connection.

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "support/TestHttpRoutes.h"
#include "support/TestHttpServer.h"

namespace varo::test {
namespace {

std::string Trim(std::string_view text) {
  const auto begin = text.find_first_not_of(" \t");
  if (begin == std::string_view::npos) {
    return {};
  }
  const auto end = text.find_last_not_of(" \t");
  return std::string(text.substr(begin, end - begin + 1));
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') {
    return c - '0';
  }
  if (c >= 'a' && c <= 'f') {
    return c - 'a' + 10;
  }
  if (c >= 'A' && c <= 'F') {
    return c - 'A' + 10;
  }
  return -1;
}

std::string PercentDecoded(std::string_view text) {
  std::string decoded;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
        HexDigit(text[i + 2]) >= 0) {
      decoded += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      decoded += text[i];
    }
  }
  return decoded;
}

const char* Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 307:
      return "Temporary Redirect";
    case 404:
      return "Not Found";
    case 500:
      return "Internal Server Error";
    default:
      return "Status";
  }
}

bool SendAll(SOCKET socket, std::string_view data) {
  while (!data.empty()) {
    const int chunk = static_cast<int>(std::min<std::size_t>(data.size(), 1 << 16));
    const int sent = ::send(socket, data.data(), chunk, 0);
    if (sent <= 0) {
      return false;
    }
    data.remove_prefix(static_cast<std::size_t>(sent));
  }
  return true;
}

// The request head, up to the blank line; empty when the connection ended
// before it.
std::string ReceiveHead(SOCKET socket) {
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < (1u << 16)) {
    const int got = ::recv(socket, buffer, sizeof buffer, 0);
    if (got <= 0) {
      return {};
    }
    head.append(buffer, static_cast<std::size_t>(got));
  }
  return head;
}

std::optional<TestHttpServer::Request> ParseHead(const std::string& head) {
  const std::size_t lineEnd = head.find("\r\n");
  if (lineEnd == std::string::npos) {
    return std::nullopt;
  }
  const std::string_view line(head.data(), lineEnd);
  const std::size_t first = line.find(' ');
  const std::size_t last = line.rfind(' ');
  if (first == std::string_view::npos || last == first) {
    return std::nullopt;
  }
  TestHttpServer::Request request;
  request.Method = std::string(line.substr(0, first));
  request.Version = std::string(line.substr(last + 1));
  const std::string_view target = line.substr(first + 1, last - first - 1);
  request.Path = PercentDecoded(target.substr(0, target.find('?')));
  std::size_t at = lineEnd + 2;
  for (;;) {
    const std::size_t end = head.find("\r\n", at);
    if (end == std::string::npos || end == at) {
      break;
    }
    const std::string_view header(head.data() + at, end - at);
    const std::size_t colon = header.find(':');
    if (colon != std::string_view::npos) {
      request.Headers.emplace_back(Trim(header.substr(0, colon)), Trim(header.substr(colon + 1)));
    }
    at = end + 2;
  }
  std::stable_sort(request.Headers.begin(), request.Headers.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  return request;
}

}  // namespace

struct TestHttpServer::State {
  SOCKET Listening = INVALID_SOCKET;
  std::thread Listener;
  std::string Origin;
  int Port = 0;

  RouteBook Book;

  // Guards the connections and Stopping.
  std::mutex Mutex;
  std::set<SOCKET> Open;
  std::vector<std::thread> Connections;
  bool Stopping = false;

  void Accept() {
    for (;;) {
      const SOCKET client = ::accept(Listening, nullptr, nullptr);
      if (client == INVALID_SOCKET) {
        return;  // the listening socket was closed
      }
      std::lock_guard guard(Mutex);
      if (Stopping) {
        ::closesocket(client);
        return;
      }
      Open.insert(client);
      Connections.emplace_back([this, client] {
        Serve(client);
        std::lock_guard closing(Mutex);
        Open.erase(client);
        ::closesocket(client);
      });
    }
  }

  void Serve(SOCKET client) {
    const BOOL noDelay = TRUE;
    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                 sizeof noDelay);
    const std::optional<Request> request = ParseHead(ReceiveHead(client));
    if (!request) {
      return;
    }
    const std::shared_ptr<const Route> route = Book.Record(*request);
    if (route && route->What == Route::Kind::Ranged) {
      const RangedAnswer answer = AnswerRanged(*route, *request);
      std::string head = Head(answer.Status, route->ContentType, answer.Length);
      for (const auto& [name, value] : answer.Headers) {
        head.insert(head.size() - 2, name + ": " + value + "\r\n");
      }
      SendAll(client, head + route->Body.substr(answer.First, answer.Sent));
    } else if (route) {
      Answer(client, *route);
    } else {
      SendAll(client, Head(404, "text/plain", 12) + "no such path");
    }
    ::shutdown(client, SD_SEND);
  }

  static std::string Head(int status, const std::string& contentType,
                          std::optional<std::size_t> length, const std::string& location = {}) {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    head += "Content-Type: " + contentType + "\r\nConnection: close\r\n";
    if (length) {
      head += "Content-Length: " + std::to_string(*length) + "\r\n";
    }
    if (!location.empty()) {
      head += "Location: " + location + "\r\n";
    }
    return head + "\r\n";
  }

  void Answer(SOCKET client, const Route& route) {
    const std::string& body = route.Body;
    switch (route.What) {
      case Route::Kind::Fixed:
        SendAll(client, Head(route.Status, route.ContentType, body.size()) + body);
        break;
      case Route::Kind::Redirect:
        SendAll(client, Head(route.Status, route.ContentType, body.size(), route.Location) + body);
        break;
      case Route::Kind::CutShort:
        SendAll(client, Head(route.Status, route.ContentType, route.Announced) + body);
        break;
      case Route::Kind::WithoutLength:
        SendAll(client, Head(route.Status, route.ContentType, std::nullopt) + body);
        break;
      case Route::Kind::Blocks: {
        if (!SendAll(client, Head(route.Status, route.ContentType, body.size()))) {
          return;
        }
        std::size_t offset = 0;
        for (std::size_t turn = 0; offset < body.size(); ++turn) {
          const std::size_t block =
              std::min(route.Blocks[turn % route.Blocks.size()], body.size() - offset);
          if (!SendAll(client, std::string_view(body).substr(offset, block))) {
            return;
          }
          offset += block;
        }
        break;
      }
      case Route::Kind::StallBeforeResponse:
        if (Book.WaitForRelease()) {
          SendAll(client, Head(route.Status, route.ContentType, body.size()) + body);
        }
        break;
      case Route::Kind::StallAfter: {
        std::string head = Head(route.Status, route.ContentType, body.size());
        head.insert(head.size() - 2, std::string("ETag: ") + kStalledETag + "\r\n");
        if (SendAll(client, head + body.substr(0, route.SentFirst)) && Book.WaitForRelease()) {
          SendAll(client, std::string_view(body).substr(route.SentFirst));
        }
        break;
      }
      case Route::Kind::Ranged:
        break;  // answered by Serve, which has the request
      case Route::Kind::Drip: {
        if (!SendAll(client, Head(route.Status, route.ContentType, body.size()))) {
          return;
        }
        for (std::size_t offset = 0; offset < body.size(); offset += route.DripBytes) {
          if ((offset > 0 && !Book.Pause(route.DripEvery)) ||
              !SendAll(client, std::string_view(body).substr(offset, route.DripBytes))) {
            return;
          }
        }
        break;
      }
    }
  }
};

// Every connection serves one request, whatever is asked.
TestHttpServer::TestHttpServer(Transport transport, Connections) : TestHttpServer(transport) {}

TestHttpServer::TestHttpServer(Transport transport) : Shared(std::make_unique<State>()) {
  if (transport != Transport::Plain) {
    throw std::runtime_error("the Windows test server speaks plain http only");
  }
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    throw std::runtime_error("cannot start Winsock");
  }
  State& state = *Shared;
  state.Listening = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  int size = sizeof address;
  if (state.Listening == INVALID_SOCKET ||
      ::bind(state.Listening, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(state.Listening, SOMAXCONN) != 0 ||
      ::getsockname(state.Listening, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
    if (state.Listening != INVALID_SOCKET) {
      ::closesocket(state.Listening);
    }
    ::WSACleanup();
    throw std::runtime_error("cannot bind the test server");
  }
  state.Port = ntohs(address.sin_port);
  state.Origin = "http://127.0.0.1:" + std::to_string(state.Port);
  state.Listener = std::thread([&state] { state.Accept(); });
}

TestHttpServer::~TestHttpServer() {
  State& state = *Shared;
  {
    std::lock_guard guard(state.Mutex);
    state.Stopping = true;
    // Cuts off every answer still going, so that its thread ends.
    for (const SOCKET open : state.Open) {
      ::shutdown(open, SD_BOTH);
    }
  }
  state.Book.Stop();
  ::closesocket(state.Listening);
  state.Listener.join();
  // No thread is added once Stopping is set and the listener has ended.
  for (std::thread& connection : state.Connections) {
    connection.join();
  }
  ::WSACleanup();
}

int TestHttpServer::Port() const {
  return Shared->Port;
}

std::string TestHttpServer::Url(const std::string& path) const {
  return Shared->Origin + path;
}

std::filesystem::path TestHttpServer::TestCaFile() {
  return std::filesystem::path(VARO_FIXTURE_DIR) / "tls" / "ca.pem";
}

RouteBook& TestHttpServer::Book() const {
  return Shared->Book;
}

}  // namespace varo::test
