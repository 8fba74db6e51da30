#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "support/TestHttpServer.h"

// What every TestHttpServer shares, whatever carries its bytes: the answers
// tests set per path, the requests seen, and the release of stalled answers.
namespace varo::test {

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
    Drip,
    Ranged
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
  bool CloseAfter = false;  // Fixed: the connection closes after the answer
  // Ranged: the validators the answers carry (empty: none), where every
  // answer stops with the connection's close (an offset in the whole body;
  // 0 for never), and whether a 206 names and sends the piece one byte
  // later than the one asked for.
  std::string ETag;
  std::string LastModified;
  std::size_t CutAt = 0;
  bool WrongPiece = false;
};

// The answer of a Ranged route to one request: 206 with the rest of the
// body from "Range: bytes=N-" when an If-Range, if given, is the route's
// ETag or Last-Modified; 416 when N lies at or past the body's end; else
// 200 with the whole body.
struct RangedAnswer {
  int Status = 200;
  std::vector<std::pair<std::string, std::string>> Headers;  // beyond the length
  std::size_t First = 0;                                     // the body's first byte sent
  std::size_t Length = 0;                                    // the Content-Length
  std::size_t Sent = 0;  // bytes sent before the connection closes (Length when whole)
};
RangedAnswer AnswerRanged(const Route& route, const TestHttpServer::Request& request);

// The routes and the requests of one server; every operation may be called
// from any thread.
class RouteBook {
 public:
  void Add(const std::string& path, Route route);
  // Records a request; the route of its path, or null for none.
  std::shared_ptr<const Route> Record(TestHttpServer::Request request);

  // Waits until stalled answers may go on; false when the server stops.
  bool WaitForRelease();
  // Waits for the given time; false when the server stops first.
  bool Pause(std::chrono::milliseconds time);
  // Lets every stalled answer, present and future, go on.
  void Release();
  // Ends every wait; the server is going.
  void Stop();
  bool Stopping() const;

  std::vector<TestHttpServer::Request> Requests() const;
  std::size_t Count(const std::string& path) const;
  bool WaitFor(const std::string& path, std::size_t count, std::chrono::milliseconds timeout) const;

 private:
  std::size_t CountLocked(const std::string& path) const;

  mutable std::mutex Mutex;
  mutable std::condition_variable Changed;
  // Guarded by Mutex:
  std::map<std::string, std::shared_ptr<const Route>> Routes;
  std::vector<TestHttpServer::Request> Seen;
  bool Released = false;
  bool Ending = false;
};

}  // namespace varo::test
