#include "support/TestHttpServer.h"

#include <httplib.h>
#include <strings.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace varo::test {
namespace {

std::filesystem::path TlsDir() {
  return std::filesystem::path(VARO_FIXTURE_DIR) / "tls";
}

// Entries that the library adds to a request's headers without the client
// having sent them.
bool IsPseudoHeader(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && ::strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
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

// What the server answers for one path.
struct Route {
  enum class Kind {
    Fixed,
    Redirect,
    CutShort,
    WithoutLength,
    Blocks,
    StallBeforeResponse,
    StallAfter,
    Drip
  };
  Kind What = Kind::Fixed;
  int Status = 200;
  std::string Body;
  std::string ContentType = "application/octet-stream";
  std::string Location;
  std::size_t Announced = 0;        // CutShort
  std::vector<std::size_t> Blocks;  // Blocks
  std::size_t SentFirst = 0;        // StallAfter
  std::size_t DripBytes = 0;        // Drip
  std::chrono::milliseconds DripEvery{0};
};

}  // namespace

std::size_t TestHttpServer::Request::HeaderCount(const std::string& name) const {
  return static_cast<std::size_t>(
      std::count_if(Headers.begin(), Headers.end(),
                    [&](const auto& header) { return SameName(header.first, name); }));
}

std::string TestHttpServer::Request::Header(const std::string& name) const {
  for (const auto& [key, value] : Headers) {
    if (SameName(key, name)) {
      return value;
    }
  }
  return {};
}

struct TestHttpServer::State {
  std::unique_ptr<httplib::Server> Server;
  std::thread Listener;
  std::string Origin;
  int Port = 0;

  mutable std::mutex Mutex;
  mutable std::condition_variable Changed;
  // Guarded by Mutex:
  std::map<std::string, std::shared_ptr<const Route>> Routes;
  std::vector<Request> Seen;
  bool Released = false;
  bool Stopping = false;

  void AddRoute(const std::string& path, Route route) {
    std::lock_guard guard(Mutex);
    Routes[path] = std::make_shared<const Route>(std::move(route));
  }

  // Waits until stalled answers may go on; false when the server stops.
  bool WaitForRelease() {
    std::unique_lock lock(Mutex);
    Changed.wait(lock, [this] { return Released || Stopping; });
    return !Stopping;
  }

  // Waits for the given time; false when the server stops first.
  bool Pause(std::chrono::milliseconds time) {
    std::unique_lock lock(Mutex);
    return !Changed.wait_for(lock, time, [this] { return Stopping; });
  }

  httplib::Server::HandlerResponse Handle(const httplib::Request& request,
                                          httplib::Response& response) {
    std::shared_ptr<const Route> route;
    {
      std::lock_guard guard(Mutex);
      Request& seen = Seen.emplace_back();
      seen.Method = request.method;
      seen.Version = request.version;
      seen.Path = request.path;
      for (const auto& [name, value] : request.headers) {
        if (!IsPseudoHeader(name)) {
          seen.Headers.emplace_back(name, value);
        }
      }
      if (const auto found = Routes.find(request.path); found != Routes.end()) {
        route = found->second;
      }
    }
    Changed.notify_all();
    if (!route) {
      response.status = 404;
      response.set_content("no such path", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    response.status = route->Status;
    switch (route->What) {
      case Route::Kind::Fixed:
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
        if (!WaitForRelease()) {
          response.status = 503;
          break;
        }
        response.set_content(route->Body, route->ContentType);
        break;
      case Route::Kind::StallAfter:
        response.set_content_provider(
            route->Body.size(), route->ContentType,
            [this, route](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
              if (offset < route->SentFirst) {
                return sink.write(route->Body.data() + offset, route->SentFirst - offset);
              }
              return WaitForRelease() && sink.write(route->Body.data() + offset, length);
            });
        break;
      case Route::Kind::Drip:
        response.set_content_provider(
            route->Body.size(), route->ContentType,
            [this, route](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
              if (offset > 0 && !Pause(route->DripEvery)) {
                return false;
              }
              return sink.write(route->Body.data() + offset, std::min(route->DripBytes, length));
            });
        break;
    }
    return httplib::Server::HandlerResponse::Handled;
  }
};

TestHttpServer::TestHttpServer(Transport transport) : Shared(std::make_unique<State>()) {
  State& state = *Shared;
  state.Server = MakeServer(transport);
  if (!state.Server || !state.Server->is_valid()) {
    throw std::runtime_error("cannot set up the test server (are the TLS fixtures built?)");
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
  {
    std::lock_guard guard(Shared->Mutex);
    Shared->Stopping = true;
  }
  Shared->Changed.notify_all();
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

void TestHttpServer::Serve(const std::string& path, std::string body, int status,
                           std::string contentType) {
  Route route;
  route.Status = status;
  route.Body = std::move(body);
  route.ContentType = std::move(contentType);
  Shared->AddRoute(path, std::move(route));
}

void TestHttpServer::Redirect(const std::string& path, const std::string& location, int status,
                              std::string body) {
  Route route;
  route.What = Route::Kind::Redirect;
  route.Status = status;
  route.Location = location;
  route.Body = std::move(body);
  Shared->AddRoute(path, std::move(route));
}

void TestHttpServer::ServeCutShort(const std::string& path, std::string sent,
                                   std::size_t announced) {
  if (sent.size() >= announced) {
    throw std::invalid_argument("a cut-short body must be shorter than announced");
  }
  Route route;
  route.What = Route::Kind::CutShort;
  route.Body = std::move(sent);
  route.Announced = announced;
  Shared->AddRoute(path, std::move(route));
}

void TestHttpServer::ServeWithoutLength(const std::string& path, std::string body) {
  Route route;
  route.What = Route::Kind::WithoutLength;
  route.Body = std::move(body);
  Shared->AddRoute(path, std::move(route));
}

void TestHttpServer::ServeInBlocks(const std::string& path, std::string body,
                                   std::vector<std::size_t> blocks) {
  if (blocks.empty() || std::find(blocks.begin(), blocks.end(), 0u) != blocks.end()) {
    throw std::invalid_argument("blocks must be given and above 0");
  }
  Route route;
  route.What = Route::Kind::Blocks;
  route.Body = std::move(body);
  route.Blocks = std::move(blocks);
  Shared->AddRoute(path, std::move(route));
}

void TestHttpServer::StallBeforeResponse(const std::string& path, std::string body) {
  Route route;
  route.What = Route::Kind::StallBeforeResponse;
  route.Body = std::move(body);
  Shared->AddRoute(path, std::move(route));
}

void TestHttpServer::StallAfter(const std::string& path, std::string body, std::size_t sentFirst) {
  if (sentFirst >= body.size()) {
    throw std::invalid_argument("a stall must come before the end of the body");
  }
  Route route;
  route.What = Route::Kind::StallAfter;
  route.Body = std::move(body);
  route.SentFirst = sentFirst;
  Shared->AddRoute(path, std::move(route));
}

void TestHttpServer::Drip(const std::string& path, std::string body, std::size_t bytes,
                          std::chrono::milliseconds every) {
  if (bytes == 0 || body.empty()) {
    throw std::invalid_argument("a drip needs a body and blocks above 0");
  }
  Route route;
  route.What = Route::Kind::Drip;
  route.Body = std::move(body);
  route.DripBytes = bytes;
  route.DripEvery = every;
  Shared->AddRoute(path, std::move(route));
}

void TestHttpServer::Release() {
  {
    std::lock_guard guard(Shared->Mutex);
    Shared->Released = true;
  }
  Shared->Changed.notify_all();
}

std::vector<TestHttpServer::Request> TestHttpServer::Requests() const {
  std::lock_guard guard(Shared->Mutex);
  return Shared->Seen;
}

std::size_t TestHttpServer::RequestCount(const std::string& path) const {
  std::lock_guard guard(Shared->Mutex);
  return static_cast<std::size_t>(std::count_if(Shared->Seen.begin(), Shared->Seen.end(),
                                                [&](const Request& r) { return r.Path == path; }));
}

bool TestHttpServer::WaitForRequests(const std::string& path, std::size_t count,
                                     std::chrono::milliseconds timeout) const {
  std::unique_lock lock(Shared->Mutex);
  return Shared->Changed.wait_for(lock, timeout, [&] {
    return static_cast<std::size_t>(
               std::count_if(Shared->Seen.begin(), Shared->Seen.end(),
                             [&](const Request& r) { return r.Path == path; })) >= count;
  });
}

}  // namespace varo::test
