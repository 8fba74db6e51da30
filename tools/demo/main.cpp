// varo-demo-server: the demo's update server. Serves a folder over HTTP on
// 127.0.0.1 until it is told to stop (SIGINT or SIGTERM).
//
//   varo-demo-server --root FOLDER [--port N] [--rate BYTES_PER_SECOND]
//                    [--port-file FILE]
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "tools/demo/FolderServer.h"

int main(int argc, char** argv) {
  std::filesystem::path root;
  std::filesystem::path portFile;
  varo::demo::FolderServer::Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string name = argv[i];
    const std::string value = argv[i + 1];
    if (name == "--root") {
      root = value;
    } else if (name == "--port") {
      options.Port = std::atoi(value.c_str());
    } else if (name == "--rate") {
      options.Rate = std::strtoull(value.c_str(), nullptr, 10);
    } else if (name == "--port-file") {
      portFile = value;
    } else {
      std::cerr << "varo-demo-server: unknown option " << name << '\n';
      return 2;
    }
  }
  if (root.empty() || (argc - 1) % 2 != 0) {
    std::cerr << "usage: varo-demo-server --root FOLDER [--port N] [--rate BYTES_PER_SECOND] "
                 "[--port-file FILE]\n";
    return 2;
  }

  // The signals are taken by a thread that waits for them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  varo::demo::FolderServer server(root, options);
  const int port = server.Start();
  if (port < 0) {
    std::cerr << "varo-demo-server: cannot listen on " << options.Host << ':' << options.Port
              << '\n';
    return 1;
  }
  std::cout << "demo server: serving " << root.string() << " at http://" << options.Host << ':'
            << port << "/" << std::endl;
  if (!portFile.empty()) {
    const auto partial = portFile.string() + ".part";
    std::ofstream(partial) << port << '\n';
    std::filesystem::rename(partial, portFile);  // readers never see half a number
  }
  int signal = 0;
  sigwait(&stop, &signal);
  server.Stop();
  std::cout << "demo server: stopped after sending " << server.FilesSent() << " files" << std::endl;
  return 0;
}
