#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Result.h"
#include "platform/VersionReader.h"

namespace varo::platform {

// Random access to the bytes of a would-be PE image, wherever they are kept.
class PeImageSource {
 public:
  virtual ~PeImageSource() = default;

  // The number of bytes that the image has.
  virtual std::uint64_t Size() const = 0;

  // Fills out with the bytes [offset, offset + size), a range inside Size().
  // False when they cannot be read.
  virtual bool ReadAt(std::uint64_t offset, std::uint8_t* out, std::size_t size) = 0;
};

// Reads the fixed block of the version resource of a Windows executable or
// library from its bytes, trusting none of them: every range is checked
// against the image, the section that holds it and the resource section
// before it is read, and all memory used is bounded whatever the image
// claims. kOk and info filled, or one of these failure codes (Windows error
// numbers, as HResultFromError wraps them), with info untouched:
//   193 ERROR_BAD_EXE_FORMAT            not a PE image, or its headers or
//                                       section table lie outside it;
//   1813 ERROR_RESOURCE_TYPE_NOT_FOUND  no resource directory, or no version
//                                       resource (type 16) in it;
//   1814 ERROR_RESOURCE_NAME_NOT_FOUND  the version type has no entries;
//   1815 ERROR_RESOURCE_LANG_NOT_FOUND  the version resource has no language;
//   13 ERROR_INVALID_DATA               the resource tree or the version block
//                                       is malformed (out of range, looping,
//                                       wrong kind of entry, bad key, too
//                                       short, wrong signature).
// A read that fails counts as bytes missing; the caller knows why it failed.
//
// Which resource is read: type 16 (RT_VERSION); in it the name 1
// (VS_VERSION_INFO) when present, else the first name; in that the first
// language.
HResult ReadFixedFileInfoFromImage(PeImageSource& image, FixedFileInfo& info);

}  // namespace varo::platform
