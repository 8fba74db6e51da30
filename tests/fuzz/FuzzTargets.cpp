#include "fuzz/FuzzTargets.h"

#include <stdlib.h>  // mkdtemp

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/CUpdateFiles.h"
#include "platform/PeImage.h"
#include "platform/Profile.h"
#include "platform/SkinFile.h"

namespace varo::fuzz {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void Broken(const char* promise) {
  std::fprintf(stderr, "fuzz: broken promise: %s\n", promise);
  std::abort();
}

// A scratch folder of this process, made once: an installation with a
// Windows and a system folder beside it.
const fs::path& Scratch() {
  static const fs::path folder = [] {
    std::string name = (fs::temp_directory_path() / "varo-fuzz.XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) {
      Broken("a scratch folder can be made");
    }
    const fs::path made(name);
    fs::create_directories(made / "install" / "ADImage");
    fs::create_directories(made / "windows" / "system32");
    return made;
  }();
  return folder;
}

fs::path WriteInput(const char* name, const std::uint8_t* data, std::size_t size) {
  const fs::path file = Scratch() / name;
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  out.close();
  if (!out) {
    Broken("the input can be written to the scratch folder");
  }
  return file;
}

// path lies lexically inside base: it starts with base's components and
// has no "." or ".." of its own.
bool Inside(const fs::path& path, const fs::path& base) {
  auto at = path.begin();
  for (const fs::path& part : base) {
    if (at == path.end() || *at != part) {
      return false;
    }
    ++at;
  }
  if (at == path.end()) {
    return false;  // the base itself is no file
  }
  for (; at != path.end(); ++at) {
    if (*at == "." || *at == ".." || at->empty()) {
      return false;
    }
  }
  return true;
}

class MemoryImage final : public platform::PeImageSource {
 public:
  MemoryImage(const std::uint8_t* data, std::size_t size) : Data(data), Length(size) {}
  std::uint64_t Size() const override { return Length; }
  bool ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t size) override {
    if (offset > Length || size > Length - offset) {
      Broken("the PE reader reads only inside the image");
    }
    std::copy_n(Data + offset, size, out);
    return true;
  }

 private:
  const std::uint8_t* Data;
  std::size_t Length;
};

}  // namespace

void UpdateList(const std::uint8_t* data, std::size_t size) {
  const fs::path list = WriteInput("update.xml", data, size);
  const fs::path install = Scratch() / "install";
  const fs::path windows = Scratch() / "windows";
  const fs::path system = windows / "system32";
  CUpdateFiles files(install, windows, system);
  if (!files.Load(list)) {
    if (files.GetCount() != 0) {
      Broken("a list that fails to load leaves no records");
    }
    return;
  }
  files.ForEach([&](const CUpdateFile& record) {
    if (!Inside(record.LocalFile, install) && !Inside(record.LocalFile, windows)) {
      Broken("every record lands inside a base folder");
    }
    for (const fs::path& part : record.LocalFile.lexically_relative(Scratch())) {
      for (const char c : part.string()) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || c == '"' || c == '<' || c == '>' || c == '|' || c == '?' || c == '*' ||
            c == ':' || c == '\\') {
          Broken("no record names a character Windows refuses");
        }
      }
    }
  });
}

void PeVersion(const std::uint8_t* data, std::size_t size) {
  MemoryImage image(data, size);
  platform::FixedFileInfo info{};
  (void)platform::ReadFixedFileInfoFromImage(image, info);
}

void Profile(const std::uint8_t* data, std::size_t size) {
  const fs::path file = WriteInput("system.ini", data, size);
  for (const std::size_t capacity : {std::size_t{1}, std::size_t{2}, std::size_t{260}}) {
    for (const char* key : {"server1", "server2", "name1"}) {
      const std::string value =
          platform::ReadProfileString(file, "UpdateServer", key, "fallback", capacity);
      if (value.size() > 3 * (capacity - 1)) {
        Broken("a value is cut to its capacity");
      }
    }
  }
}

void Skin(const std::uint8_t* data, std::size_t size) {
  const fs::path file = WriteInput("skin.xml", data, size);
  std::vector<std::string> problems;
  const std::optional<platform::Skin> skin = platform::ReadSkinFile(file, problems);
  if (!skin) {
    if (problems.empty()) {
      Broken("a skin that is refused says why");
    }
    return;
  }
  for (const platform::RequiredControl& required : platform::RequiredSkinControls()) {
    if (skin->Find(required.Name) == nullptr) {
      Broken("a skin that is read has every required control");
    }
  }
}

Target TargetNamed(std::string_view name) {
  if (name == "update-list") {
    return &UpdateList;
  }
  if (name == "pe-version") {
    return &PeVersion;
  }
  if (name == "profile") {
    return &Profile;
  }
  if (name == "skin") {
    return &Skin;
  }
  return nullptr;
}

}  // namespace varo::fuzz
