#include "support/TestHttpRoutes.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace varo::test {
namespace {

bool SameName(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    const auto lower = [](char c) {
      return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
    };
    return lower(x) == lower(y);
  });
}

}  // namespace

RangedAnswer AnswerRanged(const Route& route, const TestHttpServer::Request& request) {
  RangedAnswer answer;
  const std::size_t size = route.Body.size();
  const auto add = [&answer](const char* name, const std::string& value) {
    if (!value.empty()) {
      answer.Headers.emplace_back(name, value);
    }
  };
  add("ETag", route.ETag);
  add("Last-Modified", route.LastModified);
  const std::string range = request.Header("Range");
  const std::string ifRange = request.Header("If-Range");
  const bool sameVersion =
      request.HeaderCount("If-Range") == 0 ||
      (!ifRange.empty() && (ifRange == route.ETag || ifRange == route.LastModified));
  constexpr std::string_view kUnit = "bytes=";
  if (!range.empty() && sameVersion && range.starts_with(kUnit) && range.ends_with('-')) {
    const std::size_t first =
        std::stoull(range.substr(kUnit.size(), range.size() - kUnit.size() - 1)) +
        (route.WrongPiece ? 1 : 0);
    if (first >= size) {
      answer.Status = 416;
      add("Content-Range", "bytes */" + std::to_string(size));
      return answer;
    }
    answer.Status = 206;
    add("Content-Range", "bytes " + std::to_string(first) + "-" + std::to_string(size - 1) + "/" +
                             std::to_string(size));
    answer.First = first;
  }
  answer.Length = size - answer.First;
  answer.Sent = answer.Length;
  if (route.CutAt > 0) {
    answer.Sent =
        route.CutAt > answer.First ? std::min(answer.Length, route.CutAt - answer.First) : 0;
  }
  return answer;
}

void RouteBook::Add(const std::string& path, Route route) {
  std::lock_guard guard(Mutex);
  Routes[path] = std::make_shared<const Route>(std::move(route));
}

std::shared_ptr<const Route> RouteBook::Record(TestHttpServer::Request request) {
  std::shared_ptr<const Route> route;
  {
    std::lock_guard guard(Mutex);
    if (const auto found = Routes.find(request.Path); found != Routes.end()) {
      route = found->second;
    }
    Seen.push_back(std::move(request));
  }
  Changed.notify_all();
  return route;
}

bool RouteBook::WaitForRelease() {
  std::unique_lock lock(Mutex);
  Changed.wait(lock, [this] { return Released || Ending; });
  return !Ending;
}

bool RouteBook::Pause(std::chrono::milliseconds time) {
  std::unique_lock lock(Mutex);
  return !Changed.wait_for(lock, time, [this] { return Ending; });
}

void RouteBook::Release() {
  {
    std::lock_guard guard(Mutex);
    Released = true;
  }
  Changed.notify_all();
}

void RouteBook::Stop() {
  {
    std::lock_guard guard(Mutex);
    Ending = true;
  }
  Changed.notify_all();
}

bool RouteBook::Stopping() const {
  std::lock_guard guard(Mutex);
  return Ending;
}

std::vector<TestHttpServer::Request> RouteBook::Requests() const {
  std::lock_guard guard(Mutex);
  return Seen;
}

std::size_t RouteBook::CountLocked(const std::string& path) const {
  return static_cast<std::size_t>(std::count_if(
      Seen.begin(), Seen.end(), [&](const TestHttpServer::Request& r) { return r.Path == path; }));
}

std::size_t RouteBook::Count(const std::string& path) const {
  std::lock_guard guard(Mutex);
  return CountLocked(path);
}

bool RouteBook::WaitFor(const std::string& path, std::size_t count,
                        std::chrono::milliseconds timeout) const {
  std::unique_lock lock(Mutex);
  return Changed.wait_for(lock, timeout, [&] { return CountLocked(path) >= count; });
}

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

void TestHttpServer::Serve(const std::string& path, std::string body, int status,
                           std::string contentType) {
  Route route;
  route.Status = status;
  route.Body = std::move(body);
  route.ContentType = std::move(contentType);
  Book().Add(path, std::move(route));
}

void TestHttpServer::ServeThenClose(const std::string& path, std::string body) {
  if (body.empty()) {
    throw std::invalid_argument("a close after the answer needs a body to close after");
  }
  Route route;
  route.Body = std::move(body);
  route.CloseAfter = true;
  Book().Add(path, std::move(route));
}

void TestHttpServer::Redirect(const std::string& path, const std::string& location, int status,
                              std::string body) {
  Route route;
  route.What = Route::Kind::Redirect;
  route.Status = status;
  route.Location = location;
  route.Body = std::move(body);
  Book().Add(path, std::move(route));
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
  Book().Add(path, std::move(route));
}

void TestHttpServer::ServeWithoutLength(const std::string& path, std::string body) {
  Route route;
  route.What = Route::Kind::WithoutLength;
  route.Body = std::move(body);
  Book().Add(path, std::move(route));
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
  Book().Add(path, std::move(route));
}

void TestHttpServer::StallBeforeResponse(const std::string& path, std::string body) {
  Route route;
  route.What = Route::Kind::StallBeforeResponse;
  route.Body = std::move(body);
  Book().Add(path, std::move(route));
}

void TestHttpServer::StallAfter(const std::string& path, std::string body, std::size_t sentFirst) {
  if (sentFirst >= body.size()) {
    throw std::invalid_argument("a stall must come before the end of the body");
  }
  Route route;
  route.What = Route::Kind::StallAfter;
  route.Body = std::move(body);
  route.SentFirst = sentFirst;
  Book().Add(path, std::move(route));
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
  Book().Add(path, std::move(route));
}

void TestHttpServer::ServeRanged(const std::string& path, std::string body, std::string etag,
                                 std::string lastModified, std::size_t cutAt, bool wrongPiece) {
  Route route;
  route.What = Route::Kind::Ranged;
  route.Body = std::move(body);
  route.ETag = std::move(etag);
  route.LastModified = std::move(lastModified);
  route.CutAt = cutAt;
  route.WrongPiece = wrongPiece;
  Book().Add(path, std::move(route));
}

void TestHttpServer::Release() {
  Book().Release();
}

std::vector<TestHttpServer::Request> TestHttpServer::Requests() const {
  return Book().Requests();
}

std::size_t TestHttpServer::RequestCount(const std::string& path) const {
  return Book().Count(path);
}

bool TestHttpServer::WaitForRequests(const std::string& path, std::size_t count,
                                     std::chrono::milliseconds timeout) const {
  return Book().WaitFor(path, count, timeout);
}

}  // namespace varo::test
