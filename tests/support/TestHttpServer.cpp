#include "support/TestHttpServer.h"

#include <httplib.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <utility>

#include "support/TestHttpRoutes.h"

namespace varo::test {
namespace {

// The most requests a kept connection serves.
constexpr std::size_t kKeptRequests = 1000;

std::filesystem::path TlsDir() {
  return std::filesystem::path(VARO_FIXTURE_DIR) / "tls";
}

// Entries that the library adds to a request's headers without the client
// having sent them.
bool IsPseudoHeader(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

std::unique_ptr<httplib::Server> MakeServer(TestHttpServer::Transport transport) {
  using Transport = TestHttpServer::Transport;
  switch (transport) {
    case Transport::Plain:
      return std::make_unique<httplib::Server>();
    case Transport::TrustedTls:
      return std::make_unique<httplib::SSLServer>((TlsDir() / "server.pem").c_str(),
                                                  (TlsDir() / "server.key").c_str());
    case Transport::UntrustedTls:
      return std::make_unique<httplib::SSLServer>((TlsDir() / "stranger.pem").c_str(),
                                                  (TlsDir() / "stranger.key").c_str());
  }
  return nullptr;
}

}  // namespace

struct TestHttpServer::State {
  std::unique_ptr<httplib::Server> Server;
  std::thread Listener;
  std::string Origin;
  int Port = 0;

  RouteBook Book;

  httplib::Server::HandlerResponse Handle(const httplib::Request& request,
                                          httplib::Response& response) {
    Request seen;
    seen.Method = request.method;
    seen.Version = request.version;
    seen.Path = request.path;
    seen.ClientPort = request.remote_port;
    for (const auto& [name, value] : request.headers) {
      if (!IsPseudoHeader(name)) {
        seen.Headers.emplace_back(name, value);
      }
    }
    const Request asked = seen;
    const std::shared_ptr<const Route> route = Book.Record(std::move(seen));
    if (!route) {
      response.status = 404;
      response.set_content("no such path", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    response.status = route->Status;
    switch (route->What) {
      case Route::Kind::Fixed:
        if (route->CloseAfter) {
          // All of the body, then a refusal to go on: the library closes the
          // connection without having said so.
          response.set_content_provider(
              route->Body.size(), route->ContentType,
              [route](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                sink.write(route->Body.data() + offset, length);
                return false;
              });
          break;
        }
        response.set_content(route->Body, route->ContentType);
        break;
      case Route::Kind::Redirect:
        response.set_redirect(route->Location, route->Status);
        if (!route->Body.empty()) {
          response.set_content(route->Body, route->ContentType);
        }
        break;
      case Route::Kind::CutShort:
        response.set_content_provider(
            route->Announced, route->ContentType,
            [route](std::size_t offset, std::size_t, httplib::DataSink& sink) {
              if (offset >= route->Body.size()) {
                return false;  // closes the connection short of the length
              }
              return sink.write(route->Body.data() + offset, route->Body.size() - offset);
            });
        break;
      case Route::Kind::WithoutLength:
        response.set_content_provider(
            route->ContentType, [route](std::size_t offset, httplib::DataSink& sink) {
              if (offset < route->Body.size() &&
                  !sink.write(route->Body.data() + offset, route->Body.size() - offset)) {
                return false;
              }
              sink.done();
              return true;
            });
        break;
      case Route::Kind::Blocks:
        response.set_content_provider(
            route->Body.size(), route->ContentType,
            [route, turn = std::make_shared<std::size_t>(0)](std::size_t offset, std::size_t length,
                                                             httplib::DataSink& sink) {
              const std::size_t block = route->Blocks[(*turn)++ % route->Blocks.size()];
              return sink.write(route->Body.data() + offset, std::min(block, length));
            });
        break;
      case Route::Kind::StallBeforeResponse:
        if (!Book.WaitForRelease()) {
          response.status = 503;
          break;
        }
        response.set_content(route->Body, route->ContentType);
        break;
      case Route::Kind::StallAfter:
        response.set_header("ETag", kStalledETag);
        response.set_content_provider(
            route->Body.size(), route->ContentType,
            [this, route](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
              if (offset < route->SentFirst) {
                return sink.write(route->Body.data() + offset, route->SentFirst - offset);
              }
              return Book.WaitForRelease() && sink.write(route->Body.data() + offset, length);
            });
        break;
      case Route::Kind::Ranged: {
        // Answered here in whole: the library would otherwise cut whatever
        // body goes out to the range the request names, whatever the status.
        const_cast<httplib::Request&>(request)
            .ranges.clear();  // NOLINT(cppcoreguidelines-pro-type-const-cast)
        const RangedAnswer answer = AnswerRanged(*route, asked);
        response.status = answer.Status;
        for (const auto& [name, value] : answer.Headers) {
          response.set_header(name, value);
        }
        if (answer.Status == 416) {
          break;
        }
        response.set_content_provider(
            answer.Length, route->ContentType,
            [route, answer](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
              if (offset >= answer.Sent) {
                return false;  // closes the connection short of the length
              }
              return sink.write(route->Body.data() + answer.First + offset,
                                std::min(length, answer.Sent - offset));
            });
        break;
      }
      case Route::Kind::Drip:
        response.set_content_provider(
            route->Body.size(), route->ContentType,
            [this, route](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
              if (offset > 0 && !Book.Pause(route->DripEvery)) {
                return false;
              }
              return sink.write(route->Body.data() + offset, std::min(route->DripBytes, length));
            });
        break;
    }
    return httplib::Server::HandlerResponse::Handled;
  }
};

TestHttpServer::TestHttpServer(Transport transport)
    : TestHttpServer(transport, Connections::OnePerRequest) {}

TestHttpServer::TestHttpServer(Transport transport, Connections connections)
    : Shared(std::make_unique<State>()) {
  State& state = *Shared;
  state.Server = MakeServer(transport);
  if (!state.Server || !state.Server->is_valid()) {
    throw std::runtime_error("cannot set up the test server (are the TLS fixtures built?)");
  }
  // A kept connection holds its thread until it has been idle for the
  // timeout, also when the server stops: one second keeps that short.
  if (connections == Connections::KeptAlive) {
    state.Server->set_keep_alive_max_count(kKeptRequests);
    state.Server->set_keep_alive_timeout(1);
  } else {
    state.Server->set_keep_alive_max_count(1);
  }
  state.Server->set_pre_routing_handler(
      [&state](const httplib::Request& request, httplib::Response& response) {
        return state.Handle(request, response);
      });
  state.Port = state.Server->bind_to_any_port("127.0.0.1");
  if (state.Port <= 0) {
    throw std::runtime_error("cannot bind the test server");
  }
  state.Origin = std::string(transport == Transport::Plain ? "http" : "https") +
                 "://127.0.0.1:" + std::to_string(state.Port);
  // The socket already listens; connections wait until the loop accepts them.
  state.Listener = std::thread([&state] { state.Server->listen_after_bind(); });
  // stop() only ends a loop that has begun.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!state.Server->is_running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("the test server did not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TestHttpServer::~TestHttpServer() {
  Shared->Book.Stop();
  Shared->Server->stop();
  Shared->Listener.join();
}

int TestHttpServer::Port() const {
  return Shared->Port;
}

std::string TestHttpServer::Url(const std::string& path) const {
  return Shared->Origin + path;
}

std::filesystem::path TestHttpServer::TestCaFile() {
  return TlsDir() / "ca.pem";
}

RouteBook& TestHttpServer::Book() const {
  return Shared->Book;
}

}  // namespace varo::test
