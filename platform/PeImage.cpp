// The portable reading of the version resource of a PE image: only the byte
// ranges that are needed are read, and every range is checked against the
// image, against the section that holds it and against the resource section
// before it is read; all offset arithmetic is done in 64 bits, where 32-bit
// fields cannot overflow. The largest buffers are the section table (at most
// 65535 * 40 bytes) and one resource directory's entries (at most
// 131070 * 8 bytes), each read only once it is known to lie inside the image
// or the resource section.
#include "platform/PeImage.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace varo::platform {
namespace {

constexpr HResult kNotPeImage = HResultFromError(193);
constexpr HResult kNoVersionType = HResultFromError(1813);
constexpr HResult kNoVersionName = HResultFromError(1814);
constexpr HResult kNoVersionLanguage = HResultFromError(1815);
constexpr HResult kMalformed = HResultFromError(13);

constexpr std::uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr std::uint16_t kDosSignature = 0x5A4D;     // "MZ"
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::uint32_t kResourceDirectoryIndex = 2;
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kDirectoryHeaderSize = 16;
constexpr std::uint32_t kDirectoryEntrySize = 8;
constexpr std::uint32_t kDataEntrySize = 16;
constexpr std::uint32_t kHighBit = 0x80000000u;
constexpr std::uint32_t kTypeVersion = 16;  // RT_VERSION
constexpr std::uint32_t kNameVersion = 1;   // VS_VERSION_INFO
constexpr std::uint32_t kFixedInfoSignature = 0xFEEF04BD;

// VS_VERSIONINFO: wLength, wValueLength, wType, the key "VS_VERSION_INFO" in
// UTF-16 with its terminator (16 units), padding to 32 bits, then the value.
constexpr std::uint32_t kKeyOffset = 6;
constexpr std::array<char, 16> kVersionKey{'V', 'S', '_', 'V', 'E', 'R', 'S', 'I',
                                           'O', 'N', '_', 'I', 'N', 'F', 'O', '\0'};
constexpr std::uint32_t kFixedInfoOffset = (kKeyOffset + 2 * kVersionKey.size() + 3) & ~3u;
constexpr std::uint32_t kFixedInfoSize = sizeof(FixedFileInfo);
constexpr std::uint32_t kVersionHeadSize = kFixedInfoOffset + kFixedInfoSize;
static_assert(kFixedInfoOffset == 40 && kVersionHeadSize == 92);

std::uint16_t U16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t U32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

// A PeImageSource that reads only whole ranges inside the image.
class ImageBytes {
 public:
  explicit ImageBytes(PeImageSource& source) : Source(source), Size(source.Size()) {}

  bool Contains(std::uint64_t offset, std::uint64_t size) const {
    return offset <= Size && size <= Size - offset;
  }

  // Fills out with the bytes [offset, offset + size). False when the range
  // is not wholly inside the image or cannot be read.
  bool Read(std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    return Contains(offset, size) && Source.ReadAt(offset, out, size);
  }

  std::uint64_t FileSize() const { return Size; }

 private:
  PeImageSource& Source;
  std::uint64_t Size;
};

struct Section {
  std::uint32_t VirtualAddress = 0;
  std::uint32_t Extent = 0;  // bytes of the section that the file supplies
  std::uint32_t PointerToRawData = 0;
};

// A stretch of the file: [Offset, Offset + Length).
struct Region {
  std::uint64_t Offset = 0;
  std::uint64_t Length = 0;
};

// The parts of a PE image that lead to its resources.
struct Image {
  std::uint32_t ResourceRva = 0;
  std::uint32_t ResourceSize = 0;
  std::vector<Section> Sections;

  // The file region that holds the image bytes from rva to the end of the
  // section containing rva; nothing when no section supplies rva.
  std::optional<Region> MapToSectionEnd(std::uint32_t rva) const {
    for (const Section& section : Sections) {
      if (rva >= section.VirtualAddress && rva - section.VirtualAddress < section.Extent) {
        const std::uint32_t into = rva - section.VirtualAddress;
        return Region{std::uint64_t{section.PointerToRawData} + into,
                      std::uint64_t{section.Extent} - into};
      }
    }
    return std::nullopt;
  }
};

HResult ReadHeaders(ImageBytes& file, Image& image) {
  std::array<std::uint8_t, 64> dos{};
  if (!file.Read(0, dos.data(), dos.size()) || U16(dos.data()) != kDosSignature) {
    return kNotPeImage;
  }
  const std::uint64_t peOffset = U32(dos.data() + 0x3C);

  // Signature, COFF header, and the optional header's fields up to and
  // including the data directories' count (at most 112 bytes in).
  std::array<std::uint8_t, 24> pe{};
  if (!file.Read(peOffset, pe.data(), pe.size()) || U32(pe.data()) != kPeSignature) {
    return kNotPeImage;
  }
  const std::uint16_t sectionCount = U16(pe.data() + 6);
  const std::uint16_t optionalSize = U16(pe.data() + 20);
  const std::uint64_t optionalOffset = peOffset + pe.size();

  std::array<std::uint8_t, 2> magicBytes{};
  if (optionalSize < magicBytes.size() ||
      !file.Read(optionalOffset, magicBytes.data(), magicBytes.size())) {
    return kNotPeImage;
  }
  const std::uint16_t magic = U16(magicBytes.data());
  std::uint32_t countOffset = 0;
  if (magic == kMagicPe32) {
    countOffset = 92;
  } else if (magic == kMagicPe32Plus) {
    countOffset = 108;
  } else {
    return kNotPeImage;
  }
  std::array<std::uint8_t, 4> countBytes{};
  if (optionalSize < countOffset + countBytes.size() ||
      !file.Read(optionalOffset + countOffset, countBytes.data(), countBytes.size())) {
    return kNotPeImage;
  }
  if (U32(countBytes.data()) <= kResourceDirectoryIndex) {
    return kNoVersionType;  // the image has no resource directory entry
  }
  const std::uint32_t entryOffset = countOffset + 4 + kResourceDirectoryIndex * 8;
  std::array<std::uint8_t, 8> entry{};
  if (optionalSize < entryOffset + entry.size() ||
      !file.Read(optionalOffset + entryOffset, entry.data(), entry.size())) {
    return kNotPeImage;
  }
  image.ResourceRva = U32(entry.data());
  image.ResourceSize = U32(entry.data() + 4);

  const std::uint64_t tableOffset = optionalOffset + optionalSize;
  const std::size_t tableSize = std::size_t{sectionCount} * kSectionHeaderSize;
  if (!file.Contains(tableOffset, tableSize)) {
    return kNotPeImage;
  }
  std::vector<std::uint8_t> table(tableSize);
  if (!file.Read(tableOffset, table.data(), table.size())) {
    return kNotPeImage;
  }
  image.Sections.reserve(sectionCount);
  for (std::size_t i = 0; i < sectionCount; ++i) {
    const std::uint8_t* header = table.data() + i * kSectionHeaderSize;
    const std::uint32_t virtualSize = U32(header + 8);
    const std::uint32_t rawSize = U32(header + 16);
    image.Sections.push_back(Section{
        U32(header + 12),
        virtualSize != 0 && virtualSize < rawSize ? virtualSize : rawSize,
        U32(header + 20),
    });
  }
  return kOk;
}

// Reads the resource tree: offsets of directories and data entries are
// relative to the start of the resource directory and must stay inside the
// section that holds it.
class ResourceTree {
 public:
  ResourceTree(ImageBytes& file, const Region& region) : File(file), Area(region) {}

  struct Entry {
    std::uint32_t Name = 0;
    std::uint32_t Target = 0;
  };

  // The entries of the directory at offset; nothing when it is out of range
  // or has been visited before (a loop).
  std::optional<std::vector<Entry>> ReadDirectory(std::uint32_t offset) {
    for (std::uint32_t seen : Visited) {
      if (seen == offset) {
        return std::nullopt;
      }
    }
    Visited.push_back(offset);
    std::array<std::uint8_t, kDirectoryHeaderSize> header{};
    if (!Read(offset, header.data(), header.size())) {
      return std::nullopt;
    }
    const std::size_t count = std::size_t{U16(header.data() + 12)} + U16(header.data() + 14);
    const std::uint64_t first = std::uint64_t{offset} + kDirectoryHeaderSize;
    if (count * kDirectoryEntrySize > Area.Length - first) {
      return std::nullopt;  // more entries than the section holds
    }
    std::vector<std::uint8_t> bytes(count * kDirectoryEntrySize);
    if (!Read(first, bytes.data(), bytes.size())) {
      return std::nullopt;
    }
    std::vector<Entry> entries(count);
    for (std::size_t i = 0; i < count; ++i) {
      entries[i] = Entry{U32(bytes.data() + i * kDirectoryEntrySize),
                         U32(bytes.data() + i * kDirectoryEntrySize + 4)};
    }
    return entries;
  }

  bool Read(std::uint64_t offset, std::uint8_t* out, std::size_t size) {
    if (offset > Area.Length || size > Area.Length - offset) {
      return false;
    }
    return File.Read(Area.Offset + offset, out, size);
  }

 private:
  ImageBytes& File;
  Region Area;
  std::vector<std::uint32_t> Visited;
};

bool IsDirectory(const ResourceTree::Entry& entry) {
  return (entry.Target & kHighBit) != 0;
}

std::uint32_t DirectoryOffset(const ResourceTree::Entry& entry) {
  return entry.Target & ~kHighBit;
}

// The data entry of the version resource: its RVA and size.
HResult FindVersionData(ResourceTree& tree, std::uint32_t& dataRva, std::uint32_t& dataSize) {
  const auto types = tree.ReadDirectory(0);
  if (!types) {
    return kMalformed;
  }
  const ResourceTree::Entry* type = nullptr;
  for (const auto& entry : *types) {
    if (entry.Name == kTypeVersion) {
      type = &entry;
      break;
    }
  }
  if (type == nullptr) {
    return kNoVersionType;
  }
  if (!IsDirectory(*type)) {
    return kMalformed;
  }

  const auto names = tree.ReadDirectory(DirectoryOffset(*type));
  if (!names) {
    return kMalformed;
  }
  if (names->empty()) {
    return kNoVersionName;
  }
  const ResourceTree::Entry* name = &names->front();
  for (const auto& entry : *names) {
    if (entry.Name == kNameVersion) {
      name = &entry;
      break;
    }
  }
  if (!IsDirectory(*name)) {
    return kMalformed;
  }

  const auto languages = tree.ReadDirectory(DirectoryOffset(*name));
  if (!languages) {
    return kMalformed;
  }
  if (languages->empty()) {
    return kNoVersionLanguage;
  }
  const ResourceTree::Entry& language = languages->front();
  if (IsDirectory(language)) {
    return kMalformed;  // a fourth level: not a resource tree
  }

  std::array<std::uint8_t, kDataEntrySize> data{};
  if (!tree.Read(language.Target, data.data(), data.size())) {
    return kMalformed;
  }
  dataRva = U32(data.data());
  dataSize = U32(data.data() + 4);
  return kOk;
}

// Checks the VS_VERSIONINFO block at the start of the resource data and
// copies its fixed block.
HResult ReadVersionBlock(ImageBytes& file, const Image& image, std::uint32_t dataRva,
                         std::uint32_t dataSize, FixedFileInfo& info) {
  const std::optional<Region> region = image.MapToSectionEnd(dataRva);
  if (!region || dataSize < kVersionHeadSize) {
    return kMalformed;
  }
  std::array<std::uint8_t, kVersionHeadSize> head{};
  if (region->Length < head.size() || !file.Read(region->Offset, head.data(), head.size())) {
    return kMalformed;
  }
  const std::uint16_t length = U16(head.data());
  const std::uint16_t valueLength = U16(head.data() + 2);
  // The whole block must be present: inside the resource and inside the
  // section that the file supplies.
  if (length < kVersionHeadSize || length > dataSize || length > region->Length ||
      region->Offset + length > file.FileSize() || valueLength < kFixedInfoSize ||
      kFixedInfoOffset + std::uint32_t{valueLength} > length) {
    return kMalformed;
  }
  for (std::size_t i = 0; i < kVersionKey.size(); ++i) {
    if (U16(head.data() + kKeyOffset + 2 * i) != static_cast<std::uint16_t>(kVersionKey[i])) {
      return kMalformed;
    }
  }
  const std::uint8_t* fixed = head.data() + kFixedInfoOffset;
  if (U32(fixed) != kFixedInfoSignature) {
    return kMalformed;
  }
  std::array<std::uint32_t, kFixedInfoSize / 4> words{};
  for (std::size_t i = 0; i < words.size(); ++i) {
    words[i] = U32(fixed + 4 * i);
  }
  info = FixedFileInfo{words[0], words[1], words[2], words[3],  words[4],  words[5], words[6],
                       words[7], words[8], words[9], words[10], words[11], words[12]};
  return kOk;
}

HResult ReadFromImage(ImageBytes& file, FixedFileInfo& info) {
  Image image;
  if (const HResult result = ReadHeaders(file, image); !Succeeded(result)) {
    return result;
  }
  if (image.ResourceRva == 0 || image.ResourceSize == 0) {
    return kNoVersionType;
  }
  const std::optional<Region> area = image.MapToSectionEnd(image.ResourceRva);
  if (!area) {
    return kMalformed;
  }
  ResourceTree tree(file, *area);
  std::uint32_t dataRva = 0;
  std::uint32_t dataSize = 0;
  if (const HResult result = FindVersionData(tree, dataRva, dataSize); !Succeeded(result)) {
    return result;
  }
  return ReadVersionBlock(file, image, dataRva, dataSize, info);
}

}  // namespace

HResult ReadFixedFileInfoFromImage(PeImageSource& image, FixedFileInfo& info) {
  ImageBytes bytes(image);
  return ReadFromImage(bytes, info);
}

}  // namespace varo::platform
