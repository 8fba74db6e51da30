#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The readers that take bytes from outside (a server, the disk), each as one
// function of arbitrary bytes: the fuzzers call them, and the ordinary tests
// call them with every input that once made one fail. Each checks the
// promises its reader makes whatever the bytes, and aborts when one is
// broken; crashes and sanitizer reports are found by the build around it.
namespace varo::fuzz {

// Bytes as an update list, loaded for an installation in a scratch folder
// (with Windows and system folders beside it): every record lands inside
// its base folder, and none names a character or device that is refused.
void UpdateList(const std::uint8_t* data, std::size_t size);

// Bytes as a Windows image whose version resource is read.
void PeVersion(const std::uint8_t* data, std::size_t size);

// Bytes as the configuration file: values never exceed their bounds.
void Profile(const std::uint8_t* data, std::size_t size);

// Bytes as the skin file: a skin that is read has every required control.
void Skin(const std::uint8_t* data, std::size_t size);

// The target of a fuzzer's or a corpus folder's name; null for none.
using Target = void (*)(const std::uint8_t*, std::size_t);
Target TargetNamed(std::string_view name);

}  // namespace varo::fuzz
