// Loading an update list and comparing it with the installation, against a
// floor measured in the same run: the same document parsed by libxml2 alone,
// its "File" elements walked, and each listed file opened and stat-ed.
//
// The installation holds every listed file, half of them stale. Nine in ten
// are data files listed by time stamp (older or newer on disk than in the
// list); one in ten is a library with a version resource, listed with the
// version on disk or the next one. The files lie in 200 folders two levels
// deep, the way a game's data is laid out.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/CUpdateFiles.h"
#include "platform/MessageQueue.h"
#include "update/ListLoader.h"

namespace varo {
namespace {

namespace fs = std::filesystem;

// A throw-away installation folder.
struct Folder {
  Folder() {
    std::string pattern = (fs::temp_directory_path() / "varo-list-bench-XXXXXX").string();
    Path = ::mkdtemp(pattern.data());
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  ~Folder() { fs::remove_all(Path); }
  fs::path Path;
};

void Put16(std::string& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<char>(value & 0xFF);
  bytes[at + 1] = static_cast<char>(value >> 8);
}

void Put32(std::string& bytes, std::size_t at, std::uint32_t value) {
  Put16(bytes, at, static_cast<std::uint16_t>(value & 0xFFFF));
  Put16(bytes, at + 2, static_cast<std::uint16_t>(value >> 16));
}

// The smallest PE32+ image that carries a version resource of the file
// version 3.0.12.build: one ".rsrc" section at file offset 0x200 (RVA
// 0x1000) holding the three-level resource tree and the VS_VERSIONINFO head.
std::string Library(std::uint16_t build) {
  constexpr std::size_t kPe = 0x40;
  constexpr std::size_t kOptional = kPe + 24;
  constexpr std::size_t kOptionalSize = 112 + 16 * 8;
  constexpr std::size_t kSections = kOptional + kOptionalSize;
  constexpr std::size_t kDirectoryEntrySize = 8;
  constexpr std::size_t kResourceEntry = kOptional + 112 + 2 * kDirectoryEntrySize;
  constexpr std::size_t kRaw = 0x200;
  constexpr std::uint32_t kRva = 0x1000;
  constexpr std::size_t kBlock = 0x58;  // VS_VERSIONINFO, from the section start
  constexpr std::size_t kBlockSize = 92;
  constexpr std::size_t kResourceSize = kBlock + kBlockSize;
  std::string bytes(kRaw + kResourceSize, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  Put32(bytes, 0x3C, kPe);
  Put32(bytes, kPe, 0x00004550);  // "PE\0\0"
  Put16(bytes, kPe + 4, 0x8664);  // machine
  Put16(bytes, kPe + 6, 1);       // sections
  Put16(bytes, kPe + 20, kOptionalSize);
  Put16(bytes, kOptional, 0x20B);     // PE32+
  Put32(bytes, kOptional + 108, 16);  // data directories
  Put32(bytes, kResourceEntry, kRva);
  Put32(bytes, kResourceEntry + 4, kResourceSize);
  bytes.replace(kSections, 6, ".rsrc\0", 6);
  Put32(bytes, kSections + 8, kResourceSize);
  Put32(bytes, kSections + 12, kRva);
  Put32(bytes, kSections + 16, kResourceSize);
  Put32(bytes, kSections + 20, kRaw);
  // Type 16 -> name 1 -> language 0x409 -> data entry.
  Put16(bytes, kRaw + 14, 1);
  Put32(bytes, kRaw + 16, 16);
  Put32(bytes, kRaw + 20, 0x80000000u | 0x18);
  Put16(bytes, kRaw + 0x18 + 14, 1);
  Put32(bytes, kRaw + 0x18 + 16, 1);
  Put32(bytes, kRaw + 0x18 + 20, 0x80000000u | 0x30);
  Put16(bytes, kRaw + 0x30 + 14, 1);
  Put32(bytes, kRaw + 0x30 + 16, 0x409);
  Put32(bytes, kRaw + 0x30 + 20, 0x48);
  Put32(bytes, kRaw + 0x48, kRva + kBlock);
  Put32(bytes, kRaw + 0x48 + 4, kBlockSize);
  const std::size_t block = kRaw + kBlock;
  Put16(bytes, block, kBlockSize);
  Put16(bytes, block + 2, 52);
  constexpr std::string_view kKey = "VS_VERSION_INFO";
  for (std::size_t i = 0; i < kKey.size(); ++i) {
    Put16(bytes, block + 6 + 2 * i, static_cast<std::uint16_t>(kKey[i]));
  }
  Put32(bytes, block + 40, 0xFEEF04BD);
  Put32(bytes, block + 44, 0x00010000);
  Put32(bytes, block + 48, 3u << 16);             // file version 3.0
  Put32(bytes, block + 52, (12u << 16) | build);  // .12.build
  Put32(bytes, block + 56, 3u << 16);
  Put32(bytes, block + 60, (12u << 16) | build);
  return bytes;
}

// 2024-01-01 00:00:00 UTC, the write time of every data file.
fs::file_time_type Written() {
  return std::chrono::file_clock::from_sys(
      std::chrono::sys_seconds{std::chrono::sys_days{std::chrono::year{2024} / 1 / 1}});
}

// 2024-01-01 00:00:00 UTC as a FILETIME, and one second in its ticks.
constexpr std::uint64_t kWrittenTicks = 116444736000000000u + std::uint64_t{1704067200} * 10000000u;
constexpr std::uint64_t kSecond = 10000000u;

// A FILETIME half as the list writes it: a 32-bit signed number.
std::string Half(std::uint32_t half) {
  return std::to_string(static_cast<std::int32_t>(half));
}

// An installation of n listed files, half of them stale, and its list.
class Installation {
 public:
  explicit Installation(int entries) : List(Root.Path / "list.xml") {
    const std::string current = Library(405);
    std::ofstream xml(List);
    xml << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<UpdateList>\n";
    for (int i = 0; i < entries; ++i) {
      const bool library = i % 10 == 0;
      const bool stale = (i / 10 + i) % 2 == 0;  // half of each kind
      const std::string folder =
          "pack" + std::to_string(i % 20) + "\\part" + std::to_string(i / 20 % 10);
      const std::string name = "file" + std::to_string(i) + (library ? ".dll" : ".dat");
      const fs::path onDisk = Root.Path / "data" / ("pack" + std::to_string(i % 20)) /
                              ("part" + std::to_string(i / 20 % 10)) / name;
      fs::create_directories(onDisk.parent_path());
      xml << "  <File>\n    <FileName>" << name << "</FileName>\n";
      if (library) {
        std::ofstream(onDisk, std::ios::binary) << current;
        xml << "    <FileVersion>3.0.12." << (stale ? 406 : 405) << "</FileVersion>\n";
      } else {
        std::ofstream(onDisk, std::ios::binary) << "data " << i;
        fs::last_write_time(onDisk, Written());
        const std::uint64_t listed = stale ? kWrittenTicks + kSecond : kWrittenTicks - kSecond;
        xml << "    <FileDateLow>" << Half(static_cast<std::uint32_t>(listed))
            << "</FileDateLow>\n    <FileDateHigh>"
            << Half(static_cast<std::uint32_t>(listed >> 32)) << "</FileDateHigh>\n";
      }
      xml << "    <Length>" << 1000 + i << "</Length>\n    <LocalPath>data\\" << folder
          << "</LocalPath>\n    <URL>http://download.example.com/Download/data/" << name
          << "</URL>\n  </File>\n";
    }
    xml << "</UpdateList>\n";
  }

  Folder Root;
  fs::path List;
};

// All that the window's list loader does on its thread: the list loaded,
// side file names checked against the listed names, every entry compared
// with the disk and the names of those up to date kept for the log.
void LoadAndCompareList(benchmark::State& state) {
  const auto entries = static_cast<int>(state.range(0));
  const Installation installation(entries);
  platform::MessageQueue window;  // LoadHere posts nothing
  for (auto iteration : state) {
    static_cast<void>(iteration);
    ListLoader loader(window, installation.List, installation.Root.Path, std::nullopt,
                      std::nullopt);
    loader.LoadHere();
    if (!loader.Loaded) {
      state.SkipWithError("the list does not load");
      break;
    }
    if (loader.Files.GetCount() != static_cast<std::size_t>(entries / 2)) {
      state.SkipWithError("the comparison does not find the stale half");
      break;
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * entries);
}
BENCHMARK(LoadAndCompareList)->Arg(100)->Arg(20000)->Unit(benchmark::kMillisecond);

struct DocumentDeleter {
  void operator()(xmlDoc* document) const { xmlFreeDoc(document); }
};
struct XmlStringDeleter {
  void operator()(xmlChar* text) const { xmlFree(text); }
};

bool Named(const xmlNode& node, const char* name) {
  return node.type == XML_ELEMENT_NODE &&
         std::string_view(reinterpret_cast<const char*>(node.name)) == name;
}

std::string Text(const xmlNode& node) {
  const std::unique_ptr<xmlChar, XmlStringDeleter> content(xmlNodeGetContent(&node));
  return content ? std::string(reinterpret_cast<const char*>(content.get())) : std::string();
}

// Every element below root named "File", in document order.
std::vector<const xmlNode*> FileElements(const xmlNode& root) {
  std::vector<const xmlNode*> found;
  const xmlNode* node = root.children;
  while (node != nullptr) {
    if (Named(*node, "File")) {
      found.push_back(node);
    }
    if (node->type == XML_ELEMENT_NODE && node->children != nullptr) {
      node = node->children;
      continue;
    }
    while (node != &root && node->next == nullptr) {
      node = node->parent;
    }
    node = node == &root ? nullptr : node->next;
  }
  return found;
}

// What no loader can avoid: libxml2 parses the document, the "File"
// elements are walked, the two names of each are read and the file they
// name is opened and stat-ed.
void ListFloor(benchmark::State& state) {
  const auto entries = static_cast<int>(state.range(0));
  const Installation installation(entries);
  const std::string base = installation.Root.Path.string();
  for (auto iteration : state) {
    static_cast<void>(iteration);
    const std::unique_ptr<xmlDoc, DocumentDeleter> document(
        xmlReadFile(installation.List.c_str(), nullptr, XML_PARSE_NONET));
    if (!document) {
      state.SkipWithError("the list does not parse");
      break;
    }
    std::int64_t bytes = 0;
    int opened = 0;
    for (const xmlNode* entry : FileElements(*xmlDocGetRootElement(document.get()))) {
      std::string folder;
      std::string name;
      for (const xmlNode* child = entry->children; child != nullptr; child = child->next) {
        if (Named(*child, "LocalPath")) {
          folder = Text(*child);
        } else if (Named(*child, "FileName")) {
          name = Text(*child);
        }
      }
      std::string path = base;
      path += '/';
      path += folder;
      path += '/';
      path += name;
      for (char& c : path) {
        c = c == '\\' ? '/' : c;
      }
      const int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      struct stat info {};
      if (descriptor >= 0 && ::fstat(descriptor, &info) == 0) {
        bytes += info.st_size;
        ++opened;
      }
      if (descriptor >= 0) {
        ::close(descriptor);
      }
    }
    if (opened != entries) {
      state.SkipWithError("a listed file does not open");
      break;
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * entries);
}
BENCHMARK(ListFloor)->Arg(20000)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace varo
