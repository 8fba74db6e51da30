#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>
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
  bool CloseAfter = false;  // Fixed: the connection closes after the answer
};

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
