#include "support/SampleInstallation.h"

#include <sys/stat.h>

#include <vector>

namespace varo::gui_test {

Installation::Installation(const std::string& listUrl, const std::filesystem::path& program) {
  std::filesystem::copy_file(program, Dir / "varo-update");
  std::filesystem::copy(program.parent_path() / "ADImage", Dir / "ADImage",
                        std::filesystem::copy_options::recursive);
  test::WriteFile(Dir / "ADImage" / "xxxxx_system.ini",
                  "[UpdateServer]\r\nserver1=" + listUrl + "\r\n");
  test::WriteFile(Dir / "Tandrel.exe", "#!/bin/sh\necho started >>client-started.log\n");
  ::chmod((Dir / "Tandrel.exe").c_str(), 0755);
}

std::unique_ptr<Subprocess> Installation::Run(
    const std::string& log, const std::map<std::string, std::string>& environment) {
  Subprocess::Options options;
  options.Environment = environment;
  options.Directory = Dir.Path();
  options.Output = Dir / log;
  options.Errors = options.Output;
  options.Unset = {"DBUS_SESSION_BUS_ADDRESS"};  // no tray: quiet and the same everywhere
  return std::make_unique<Subprocess>(std::vector<std::string>{(Dir / "varo-update").string()},
                                      options);
}

bool Installation::ClientStarted() const {
  return std::filesystem::exists(Dir / "client-started.log");
}

std::string Installation::Log(const std::string& log) const {
  return ReadFile(Dir / log);
}

std::map<std::filesystem::path, std::string> Installation::Contents() const {
  std::map<std::filesystem::path, std::string> contents;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(Dir.Path())) {
    if (entry.path().extension() != ".log") {
      contents[entry.path()] = entry.is_regular_file() ? ReadFile(entry.path()) : "/";
    }
  }
  return contents;
}

std::string Entry(const std::string& name, const std::string& localPath, std::size_t length,
                  const std::string& url) {
  return "<File><FileName>" + name + "</FileName><FileDateHigh>2000000000</FileDateHigh>" +
         "<LocalPath>" + localPath + "</LocalPath><Length>" + std::to_string(length) +
         "</Length><URL>" + url + "</URL></File>";
}

std::string Bytes(std::size_t count, char seed) {
  std::string bytes(count, '\0');
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
  }
  return bytes;
}

}  // namespace varo::gui_test
