#include "tools/publish/ReleaseScan.h"

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "tools/publish/ListName.h"

namespace varo::publish {
namespace {

namespace fs = std::filesystem;

std::string Join(const std::vector<std::string>& names) {
  std::string path;
  for (const std::string& name : names) {
    if (!path.empty()) {
      path += '/';
    }
    path += name;
  }
  return path;
}

class Walk {
 public:
  Walk(const std::set<std::string>& ignored, std::string& error) : Ignored(ignored), Error(error) {}

  // Adds what lies in folder (at names below the root); false on a read error.
  bool Folder(const fs::path& folder, std::vector<std::string>& names) {
    std::error_code failure;
    fs::directory_iterator entries(folder, failure);
    for (; !failure && entries != fs::directory_iterator(); entries.increment(failure)) {
      const fs::path& path = entries->path();
      // The bytes of the name as the disk holds them.
      names.push_back(path.filename().string());
      const std::string relative = Join(names);
      if (!Ignored.contains(relative) && !Entry(path, names, relative)) {
        return false;
      }
      names.pop_back();
    }
    if (failure) {
      Error = "cannot read the folder " + Printable(folder.string()) + ": " + failure.message();
      return false;
    }
    return true;
  }

  ReleaseScan Result;

 private:
  bool Entry(const fs::path& path, std::vector<std::string>& names, const std::string& relative) {
    std::error_code failure;
    const fs::file_status status = fs::symlink_status(path, failure);
    if (failure) {
      Error = "cannot examine " + Printable(path.string()) + ": " + failure.message();
      return false;
    }
    const bool folder = fs::is_directory(status);
    if (const auto why = WhyNameIsRefused(names.back())) {
      Result.LeftOut.push_back(Printable(relative) + (folder ? "/" : "") + ": " + *why);
      return true;
    }
    // The updater's reader trims the texts of FileName and LocalPath, so a
    // blank at the start of a file's name, or of a folder's right in the
    // release folder, would be lost: the file would land elsewhere.
    if (names.back().front() == ' ' && (!folder || names.size() == 1)) {
      Result.LeftOut.push_back(Printable(relative) + (folder ? "/" : "") +
                               ": begins with a blank, which the updater drops");
      return true;
    }
    if (fs::is_symlink(status)) {
      Result.LeftOut.push_back(Printable(relative) + ": is a symbolic link");
      return true;
    }
    if (folder) {
      return Folder(path, names);
    }
    if (!fs::is_regular_file(status)) {
      Result.LeftOut.push_back(Printable(relative) + ": is no regular file");
      return true;
    }
    Result.Files.push_back({names, path});
    return true;
  }

  const std::set<std::string>& Ignored;
  std::string& Error;
};

// Leaves out the files whose paths Windows would take for another file's or
// folder's.
void LeaveOutCaseClashes(ReleaseScan& scan) {
  std::map<std::string, std::size_t> files;
  std::set<std::string> folders;
  std::vector<std::string> keys;
  keys.reserve(scan.Files.size());
  for (const ReleaseFile& file : scan.Files) {
    // Name by name: each folder's key on the way, then the file's.
    std::string key;
    for (std::size_t i = 0; i < file.Names.size(); ++i) {
      if (i > 0) {
        folders.insert(key);
        key += '/';
      }
      key += CaseKey(file.Names[i]);
    }
    ++files[keys.emplace_back(std::move(key))];
  }
  std::vector<ReleaseFile> kept;
  for (std::size_t at = 0; at < scan.Files.size(); ++at) {
    ReleaseFile& file = scan.Files[at];
    const std::string& key = keys[at];
    if (files[key] > 1 || folders.contains(key)) {
      scan.LeftOut.push_back(Printable(file.RelativePath()) +
                             ": differs only in letter case from another path, which Windows "
                             "takes for the same");
    } else {
      kept.push_back(std::move(file));
    }
  }
  scan.Files = std::move(kept);
}

}  // namespace

std::string ReleaseFile::RelativePath() const {
  return Join(Names);
}

std::optional<ReleaseScan> ScanRelease(const fs::path& root, const std::set<std::string>& ignored,
                                       std::string& error) {
  std::error_code failure;
  if (!fs::is_directory(root, failure)) {
    error = "the release folder " + Printable(root.string()) +
            (fs::exists(root, failure) ? " is no folder" : " does not exist");
    return std::nullopt;
  }
  Walk walk(ignored, error);
  std::vector<std::string> names;
  if (!walk.Folder(root, names)) {
    return std::nullopt;
  }
  ReleaseScan scan = std::move(walk.Result);
  std::sort(scan.Files.begin(), scan.Files.end(), [](const ReleaseFile& a, const ReleaseFile& b) {
    return a.RelativePath() < b.RelativePath();
  });
  LeaveOutCaseClashes(scan);
  std::sort(scan.LeftOut.begin(), scan.LeftOut.end());
  return scan;
}

}  // namespace varo::publish
