#include "tools/demo/FolderServer.h"

#include <httplib.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <optional>
#include <vector>

namespace varo::demo {
namespace {

// The file a request path names below root, or nothing when it names none
// or would leave root.
std::optional<std::filesystem::path> FileOf(const std::filesystem::path& root,
                                            const std::string& path) {
  const std::filesystem::path relative = std::filesystem::path(path).relative_path();
  for (const auto& part : relative) {
    if (part == "..") {
      return std::nullopt;
    }
  }
  const std::filesystem::path file = root / relative;
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) {
    return std::nullopt;
  }
  return file;
}

std::string ContentType(const std::filesystem::path& file) {
  return file.extension() == ".xml" ? "text/xml; charset=utf-8" : "application/octet-stream";
}

}  // namespace

FolderServer::FolderServer(std::filesystem::path root, Options options)
    : Root(std::move(root)),
      Settings(std::move(options)),
      Server(std::make_unique<httplib::Server>()) {
  Server->Get(R"(/.*)", [this](const httplib::Request& request, httplib::Response& response) {
    const auto file = FileOf(Root, request.path);
    if (!file) {
      response.status = 404;
      return;
    }
    const auto size = static_cast<std::size_t>(std::filesystem::file_size(*file));
    auto in = std::make_shared<std::ifstream>(*file, std::ios::binary);
    const auto started = std::make_shared<std::chrono::steady_clock::time_point>();
    response.set_content_provider(
        size, ContentType(*file),
        [this, in, size, started](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
          if (offset == 0) {
            *started = std::chrono::steady_clock::now();
          }
          std::vector<char> block(std::min<std::size_t>(length, 16 * 1024));
          in->seekg(static_cast<std::streamoff>(offset));
          in->read(block.data(), static_cast<std::streamsize>(block.size()));
          if (in->gcount() != static_cast<std::streamsize>(block.size()) ||
              !sink.write(block.data(), block.size())) {
            return false;
          }
          const std::size_t done = offset + block.size();
          if (Settings.Rate > 0) {
            // Keep to the rate from the answer's start on.
            const auto due = *started + std::chrono::microseconds(done * 1'000'000 / Settings.Rate);
            const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(
                due - std::chrono::steady_clock::now());
            if (wait.count() > 0 && !Pause(wait)) {
              return false;
            }
          }
          if (done == size) {
            ++Sent;
          }
          return true;
        });
  });
  Server->set_logger([](const httplib::Request& request, const httplib::Response& response) {
    std::cout << "demo server: " << request.method << ' ' << request.path << " -> "
              << response.status << std::endl;
  });
}

FolderServer::~FolderServer() {
  Stop();
}

int FolderServer::Start() {
  const int port = Settings.Port == 0
                       ? Server->bind_to_any_port(Settings.Host)
                       : (Server->bind_to_port(Settings.Host, Settings.Port) ? Settings.Port : -1);
  if (port < 0) {
    return -1;
  }
  Listener = std::thread([this] { Server->listen_after_bind(); });
  return port;
}

bool FolderServer::Pause(std::chrono::microseconds duration) {
  std::unique_lock lock(Mutex);
  return !Stopping.wait_for(lock, duration, [this] { return Stopped; });
}

void FolderServer::Stop() {
  {
    std::lock_guard guard(Mutex);
    Stopped = true;
  }
  Stopping.notify_all();
  Server->stop();
  if (Listener.joinable()) {
    Listener.join();
  }
}

}  // namespace varo::demo
