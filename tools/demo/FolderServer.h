#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace varo::demo {

// Serves the files of a folder over HTTP, each with its Content-Length, at
// a limited pace if asked: the demo's update server. Paths that leave the
// folder are refused.
class FolderServer {
 public:
  struct Options {
    std::string Host = "127.0.0.1";
    int Port = 0;  // 0: one the system picks
    // Bytes per second of each answer's body; 0 for no limit.
    std::uint64_t Rate = 0;
  };

  FolderServer(std::filesystem::path root, Options options);
  ~FolderServer();
  FolderServer(const FolderServer&) = delete;
  FolderServer& operator=(const FolderServer&) = delete;

  // Starts answering on a thread of its own. The port, or -1 when it cannot
  // listen.
  int Start();
  // Cuts off answers still being sent, and stops.
  void Stop();
  // Files sent whole so far.
  int FilesSent() const { return Sent; }

 private:
  // Waits up to a while; false once the server is stopping.
  bool Pause(std::chrono::microseconds duration);

  const std::filesystem::path Root;
  const Options Settings;
  std::unique_ptr<httplib::Server> Server;
  std::thread Listener;
  std::mutex Mutex;
  std::condition_variable Stopping;
  bool Stopped = false;
  std::atomic<int> Sent = 0;
};

}  // namespace varo::demo
