// The update list's XML reader on MSXML, through COM.
//
// Hardening: the file is read whole, with a bound on its size, through
// ReadRegularFile (a device or pipe in its place is refused before anything
// is read) and handed to MSXML from memory, so MSXML never opens a file or
// URL of its own. The document is loaded synchronously, without validation
// and without resolving externals; DTDs are prohibited where the MSXML
// version knows the property (6.0 prohibits them by default), and whatever
// the version did with one, a document that has a document type declaration
// is refused once loaded, like a malformed one.
//
// Text leaves MSXML as UTF-16 and is returned as UTF-8; MSXML itself decodes
// the file from the encoding that its byte order mark or declaration names.

#include <msxml2.h>
#include <objbase.h>
#include <oleauto.h>
#include <shlwapi.h>
#include <windows.h>

#include <cassert>
#include <climits>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/RegularFile.h"
#include "platform/XmlReader.h"

namespace varo::platform {
namespace {

// MSXML's class and interface identifiers, as MSXML registers them; the
// toolchain's import libraries lack the versioned ones.
constexpr CLSID kDomDocument60 = {
    0x88d96a05, 0xf192, 0x11d4, {0xa6, 0x5f, 0x00, 0x40, 0x96, 0x32, 0x51, 0xe5}};
constexpr CLSID kDomDocument30 = {
    0xf5078f32, 0xc551, 0x11d3, {0x89, 0xb9, 0x00, 0x00, 0xf8, 0x1f, 0xe2, 0x21}};
constexpr IID kIXmlDomDocument2 = {
    0x2933bf95, 0x7b36, 0x11d2, {0xb2, 0x0e, 0x00, 0xc0, 0x4f, 0x98, 0x3e, 0x60}};

// One reference to a COM object, released when it goes away.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;
  ComRef(ComRef&& other) noexcept : Pointer(std::exchange(other.Pointer, nullptr)) {}
  ComRef& operator=(ComRef&& other) noexcept {
    std::swap(Pointer, other.Pointer);
    return *this;
  }
  ~ComRef() {
    if (Pointer != nullptr) {
      Pointer->Release();
    }
  }

  T* operator->() const {
    assert(Pointer != nullptr);
    return Pointer;
  }
  explicit operator bool() const { return Pointer != nullptr; }
  T* Get() const { return Pointer; }
  // Where a call stores a new reference; the holder must be empty.
  T** Out() {
    assert(Pointer == nullptr);
    return &Pointer;
  }

 private:
  T* Pointer = nullptr;
};

// A BSTR that MSXML hands out or takes, freed when it goes away.
class OwnedBstr {
 public:
  OwnedBstr() = default;
  explicit OwnedBstr(BSTR text) : Text(text) {}
  OwnedBstr(OwnedBstr&& other) noexcept : Text(std::exchange(other.Text, nullptr)) {}
  OwnedBstr& operator=(OwnedBstr&&) = delete;
  OwnedBstr(const OwnedBstr&) = delete;
  OwnedBstr& operator=(const OwnedBstr&) = delete;
  ~OwnedBstr() { ::SysFreeString(Text); }

  BSTR Get() const { return Text; }
  BSTR* Out() {
    assert(Text == nullptr);
    return &Text;
  }

 private:
  BSTR Text = nullptr;
};

// COM on the calling thread for as long as the object lives. A thread that
// already runs COM, in either threading model, keeps it as it is.
class ComInitialisation {
 public:
  ComInitialisation()
      : Result(::CoInitializeEx(nullptr, COINIT_MULTITHREADED | COINIT_DISABLE_OLE1DDE)) {}
  ComInitialisation(const ComInitialisation&) = delete;
  ComInitialisation& operator=(const ComInitialisation&) = delete;
  ~ComInitialisation() {
    // S_OK and S_FALSE both count, and each must be balanced.
    if (SUCCEEDED(Result)) {
      ::CoUninitialize();
    }
  }

  bool Usable() const { return SUCCEEDED(Result) || Result == RPC_E_CHANGED_MODE; }

 private:
  HRESULT Result;
};

// UTF-16 from MSXML as UTF-8; nothing for text that is no valid UTF-16.
std::optional<std::string> Utf8FromWide(const wchar_t* text, UINT length) {
  if (length == 0) {
    return std::string();
  }
  if (length > INT_MAX) {
    return std::nullopt;
  }
  const int wideLength = static_cast<int>(length);
  const int size = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, wideLength, nullptr,
                                         0, nullptr, nullptr);
  if (size <= 0) {
    return std::nullopt;
  }
  std::string out(static_cast<std::size_t>(size), '\0');
  if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, wideLength, out.data(), size,
                            nullptr, nullptr) != size) {
    return std::nullopt;
  }
  return out;
}

std::optional<std::string> Utf8FromBstr(const OwnedBstr& text) {
  return Utf8FromWide(text.Get(), ::SysStringLen(text.Get()));
}

// A BSTR of UTF-8 text; nothing for text that is no valid UTF-8.
std::optional<OwnedBstr> BstrFromUtf8(std::string_view text) {
  if (text.size() > INT_MAX) {
    return std::nullopt;
  }
  const int narrowLength = static_cast<int>(text.size());
  const int size =
      ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), narrowLength, nullptr, 0);
  if (size <= 0) {
    return std::nullopt;
  }
  OwnedBstr wide(::SysAllocStringLen(nullptr, static_cast<UINT>(size)));
  if (wide.Get() == nullptr || ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                                     narrowLength, wide.Get(), size) != size) {
    return std::nullopt;
  }
  return wide;
}

std::string Trimmed(const std::string& text) {
  constexpr const char* kBlanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) {
    return {};
  }
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

// A fresh document of the newest MSXML that the system has.
ComRef<IXMLDOMDocument2> CreateDocument() {
  for (const CLSID& version : {kDomDocument60, kDomDocument30}) {
    ComRef<IXMLDOMDocument2> document;
    if (SUCCEEDED(::CoCreateInstance(version, nullptr, CLSCTX_INPROC_SERVER, kIXmlDomDocument2,
                                     reinterpret_cast<void**>(document.Out())))) {
      return document;
    }
  }
  return {};
}

bool SetBooleanProperty(IXMLDOMDocument2& document, const wchar_t* name, bool value) {
  OwnedBstr property(::SysAllocString(name));
  if (property.Get() == nullptr) {
    return false;
  }
  VARIANT setting;
  ::VariantInit(&setting);
  setting.vt = VT_BOOL;
  setting.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return SUCCEEDED(document.setProperty(property.Get(), setting));
}

// Loads content synchronously, as it stands, touching nothing outside it.
bool Load(IXMLDOMDocument2& document, const std::string& content) {
  if (FAILED(document.put_async(VARIANT_FALSE)) ||
      FAILED(document.put_validateOnParse(VARIANT_FALSE)) ||
      FAILED(document.put_resolveExternals(VARIANT_FALSE)) ||
      FAILED(document.put_preserveWhiteSpace(VARIANT_TRUE))) {
    return false;
  }
  // Versions before 6.0 may not know the property; the doctype check after
  // loading refuses a DTD all the same.
  SetBooleanProperty(document, L"ProhibitDTD", true);

  if (content.size() > UINT_MAX) {
    return false;
  }
  ComRef<IStream> stream;
  *stream.Out() = ::SHCreateMemStream(reinterpret_cast<const BYTE*>(content.data()),
                                      static_cast<UINT>(content.size()));
  if (!stream) {
    return false;
  }
  VARIANT source;
  ::VariantInit(&source);
  source.vt = VT_UNKNOWN;
  source.punkVal = stream.Get();  // borrowed: the stream outlives the call
  VARIANT_BOOL loaded = VARIANT_FALSE;
  if (FAILED(document.load(source, &loaded)) || loaded != VARIANT_TRUE) {
    return false;
  }
  ComRef<IXMLDOMDocumentType> doctype;
  return SUCCEEDED(document.get_doctype(doctype.Out())) && !doctype;
}

std::optional<std::string> NodeName(IXMLDOMNode& node) {
  OwnedBstr name;
  if (FAILED(node.get_nodeName(name.Out()))) {
    return std::nullopt;
  }
  return Utf8FromBstr(name);
}

std::optional<XmlEntry> ReadEntry(IXMLDOMNode& element) {
  XmlEntry entry;
  ComRef<IXMLDOMNode> child;
  if (FAILED(element.get_firstChild(child.Out()))) {
    return std::nullopt;
  }
  while (child) {
    auto name = NodeName(*child.Get());
    OwnedBstr text;
    if (!name || FAILED(child->get_text(text.Out()))) {
      return std::nullopt;
    }
    const auto utf8 = Utf8FromBstr(text);
    if (!utf8) {
      return std::nullopt;
    }
    entry.push_back({std::move(*name), Trimmed(*utf8)});
    ComRef<IXMLDOMNode> next;
    if (FAILED(child->get_nextSibling(next.Out()))) {
      return std::nullopt;
    }
    child = std::move(next);
  }
  return entry;
}

// Every element below root whose tag name is entryTag, exactly.
std::optional<std::vector<XmlEntry>> CollectEntries(IXMLDOMElement& root,
                                                    std::string_view entryTag) {
  std::vector<XmlEntry> entries;
  const auto tag = BstrFromUtf8(entryTag);
  if (!tag) {
    return entries;  // no element has that name
  }
  ComRef<IXMLDOMNodeList> found;
  if (FAILED(root.getElementsByTagName(tag->Get(), found.Out())) || !found) {
    return std::nullopt;
  }
  for (;;) {
    ComRef<IXMLDOMNode> element;
    const HRESULT next = found->nextNode(element.Out());
    if (FAILED(next)) {
      return std::nullopt;
    }
    if (!element) {
      break;
    }
    // "*" selects every element; only the exact name counts.
    const auto name = NodeName(*element.Get());
    if (!name) {
      return std::nullopt;
    }
    if (*name != entryTag) {
      continue;
    }
    auto entry = ReadEntry(*element.Get());
    if (!entry) {
      return std::nullopt;
    }
    entries.push_back(std::move(*entry));
  }
  return entries;
}

// The value of element's attribute name; nothing inside when it has none,
// nothing at all when it cannot be read. (A lookup by name: Wine's MSXML
// cannot hand out a default namespace declaration as an attribute node.)
std::optional<std::optional<std::string>> ReadAttribute(IXMLDOMElement& element,
                                                        std::string_view name) {
  const auto wideName = BstrFromUtf8(name);
  if (!wideName) {
    return std::optional<std::string>();  // no attribute has that name
  }
  VARIANT value;
  ::VariantInit(&value);
  const HRESULT found = element.getAttribute(wideName->Get(), &value);
  if (FAILED(found)) {
    return std::nullopt;
  }
  if (found != S_OK || value.vt != VT_BSTR) {
    ::VariantClear(&value);
    return std::optional<std::string>();
  }
  const OwnedBstr text(value.bstrVal);  // takes the string over from the variant
  auto utf8 = Utf8FromBstr(text);
  if (!utf8) {
    return std::nullopt;
  }
  return std::optional<std::string>(std::move(*utf8));
}

// The work of ReadXmlDocument, on a thread that runs COM; every COM object is
// released before it returns.
std::optional<XmlDocument> ReadWithMsxml(const std::string& content, std::string_view entryTag,
                                         std::string_view rootAttribute) {
  const ComRef<IXMLDOMDocument2> document = CreateDocument();
  if (!document || !Load(*document.Get(), content)) {
    return std::nullopt;
  }
  ComRef<IXMLDOMElement> root;
  if (FAILED(document->get_documentElement(root.Out())) || !root) {
    return std::nullopt;
  }
  std::optional<std::optional<std::string>> attribute{std::in_place};
  if (!rootAttribute.empty()) {
    attribute = ReadAttribute(*root.Get(), rootAttribute);
  }
  auto entries = CollectEntries(*root.Get(), entryTag);
  if (!attribute || !entries) {
    return std::nullopt;
  }
  return XmlDocument{std::move(*attribute), std::move(*entries)};
}

}  // namespace

std::optional<XmlDocument> ReadXmlDocument(const std::filesystem::path& file,
                                           std::string_view entryTag,
                                           std::string_view rootAttribute, std::size_t maxBytes) {
  const auto content = ReadRegularFile(file, maxBytes);
  if (!content) {
    return std::nullopt;
  }
  const ComInitialisation com;
  if (!com.Usable()) {
    return std::nullopt;
  }
  return ReadWithMsxml(*content, entryTag, rootAttribute);
}

}  // namespace varo::platform
