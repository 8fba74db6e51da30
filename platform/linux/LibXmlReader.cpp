// The update list's XML reader on libxml2.
//
// Hardening: the file is handed to libxml2 chunk by chunk with a bound on its
// size, and only when it is a regular file (so that a FIFO or a device in its
// place neither blocks nor feeds endless data); it is parsed without network
// access and with libxml2's own bounds on entity amplification (no
// XML_PARSE_HUGE).
// No document type declaration is accepted at all: a DOCTYPE, with or
// without an internal subset, stops the parse as soon as it is seen, before
// any declaration in it is read. So no entity besides the predefined ones
// and character references can appear, nothing can expand, and no DTD or
// external entity is ever loaded. As a second line, the process-wide
// external entity loader refuses every request made while a document of
// ours is being parsed on the calling thread.
//
// The document's tree is never built: the entries are collected from the
// parser's SAX2 events, which costs a fraction of building, walking and
// freeing a tree for a list of many thousand entries.

#include <fcntl.h>
#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/XmlReader.h"

namespace varo::platform {
namespace {

constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Set while this thread parses an update list; the entity loader refuses
// everything then.
thread_local bool ParsingOnThisThread = false;

xmlExternalEntityLoader PreviousLoader = nullptr;

xmlParserInputPtr GuardedEntityLoader(const char* url, const char* id, xmlParserCtxtPtr context) {
  if (ParsingOnThisThread || PreviousLoader == nullptr) {
    return nullptr;
  }
  return PreviousLoader(url, id, context);
}

void InitialiseLibXml() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    PreviousLoader = xmlGetExternalEntityLoader();
    xmlSetExternalEntityLoader(GuardedEntityLoader);
  });
}

// The kind of the last direct child of an open entry: text extends a text
// node, and a CDATA section a CDATA node, that comes right before it.
enum class LastChild { None, Element, Text, CData, Other };

// An entry element that is open while the document is read.
struct OpenEntry {
  std::size_t Index = 0;  // into the collected entries
  std::size_t Depth = 0;  // of the element; the root is at depth 1
  LastChild Last = LastChild::None;
};

// Collects the entries while libxml2 reads the document, without building
// the document's tree: the children of an entry are recorded as the parser
// reports them, in the shape the tree would have had (adjacent text, and
// adjacent CDATA sections, make one node; the text of an element child is
// all text and CDATA below it, as xmlNodeGetContent gives it).
class EntryCollector {
 public:
  explicit EntryCollector(std::string_view entryTag) : Tag(entryTag) {}

  // True while no element has been opened: the next one is the root.
  bool AtTop() const { return Depth == 0; }

  void StartElement(std::string_view name) {
    ++Depth;
    if (!Open.empty() && Open.back().Depth + 1 == Depth) {
      Push(Open.back(), LastChild::Element, std::string(name), {});
    }
    if (Depth >= 2 && name == Tag) {
      Entries.emplace_back().reserve(TypicalChildren);
      Open.push_back({Entries.size() - 1, Depth, LastChild::None});
    }
  }

  void EndElement() {
    if (!Open.empty() && Open.back().Depth == Depth) {
      TypicalChildren = Entries[Open.back().Index].size();
      Open.pop_back();
    }
    --Depth;
  }

  // Text or a CDATA section: a node of its own (or more of the last one)
  // in the innermost entry it lies directly in, and more text of the
  // element child that holds it in every entry around it.
  void Characters(std::string_view text, LastChild kind) {
    for (OpenEntry& entry : Open) {
      XmlEntry& children = Entries[entry.Index];
      if (entry.Depth < Depth || entry.Last == kind) {
        children.back().Text.append(text);
      } else {
        Push(entry, kind, kind == LastChild::Text ? "#text" : "#cdata-section", text);
      }
    }
  }

  // A comment or a processing instruction: a node of its own only directly
  // in an entry; no part of any element's text.
  void Other(std::string name, std::string_view text) {
    if (!Open.empty() && Open.back().Depth == Depth) {
      Push(Open.back(), LastChild::Other, std::move(name), text);
    }
  }

  // The entries, every text with its surrounding white space removed.
  std::vector<XmlEntry> Take() {
    for (XmlEntry& entry : Entries) {
      for (XmlChild& child : entry) {
        Trim(child.Text);
      }
    }
    return std::move(Entries);
  }

 private:
  void Push(OpenEntry& entry, LastChild kind, std::string name, std::string_view text) {
    Entries[entry.Index].push_back({std::move(name), std::string(text)});
    entry.Last = kind;
  }

  static void Trim(std::string& text) {
    constexpr std::string_view kBlanks = " \t\r\n";
    const std::size_t last = text.find_last_not_of(kBlanks);
    if (last == std::string::npos) {
      text.clear();
      return;
    }
    text.erase(last + 1);
    text.erase(0, text.find_first_not_of(kBlanks));
  }

  std::string_view Tag;
  std::vector<XmlEntry> Entries;
  std::vector<OpenEntry> Open;  // outermost first
  std::size_t Depth = 0;        // of the innermost open element
  // The children of the entry read last: lists repeat one shape.
  std::size_t TypicalChildren = 0;
};

// What the SAX hooks below learn about one parse.
struct ParseState {
  ParseState(std::string_view entryTag, std::string_view rootAttributeName)
      : Collector(entryTag), RootAttributeName(rootAttributeName) {}
  bool Refused = false;
  EntryCollector Collector;
  std::string_view RootAttributeName;
  std::optional<std::string> RootAttribute;
};

ParseState& StateOf(void* context) {
  return *static_cast<ParseState*>(static_cast<xmlParserCtxtPtr>(context)->_private);
}

std::string_view View(const xmlChar* text) {
  return text == nullptr ? std::string_view()
                         : std::string_view(reinterpret_cast<const char*>(text));
}

std::string_view View(const xmlChar* text, int length) {
  return {reinterpret_cast<const char*>(text), static_cast<std::size_t>(length)};
}

void Refuse(void* context) {
  StateOf(context).Refused = true;
  xmlStopParser(static_cast<xmlParserCtxtPtr>(context));
}

// Any document type declaration: the document is refused before the
// declaration's internal subset or external DTD is read.
void RefusingSubset(void* context, const xmlChar* /*name*/, const xmlChar* /*externalId*/,
                    const xmlChar* /*systemId*/) {
  Refuse(context);
}

// Declarations and references to declared entities come only from a DTD,
// which is refused before any of them; should one still arrive, it is
// refused too.
void RefusingEntityDecl(void* context, const xmlChar* /*name*/, int /*type*/,
                        const xmlChar* /*publicId*/, const xmlChar* /*systemId*/,
                        xmlChar* /*content*/) {
  Refuse(context);
}

void RefusingUnparsedEntityDecl(void* context, const xmlChar* /*name*/, const xmlChar* /*publicId*/,
                                const xmlChar* /*systemId*/, const xmlChar* /*notationName*/) {
  Refuse(context);
}

void RefusingReference(void* context, const xmlChar* /*name*/) {
  Refuse(context);
}

std::string QualifiedName(const xmlChar* localName, const xmlChar* prefix) {
  if (prefix == nullptr) {
    return std::string(View(localName));
  }
  return std::string(View(prefix)) + ':' + std::string(View(localName));
}

// An attribute value as SAX2 hands it over. Without entity substitution
// libxml2 leaves every '&' that a reference stood for as "&#38;" (and only
// those: a '&' of the document itself is always written as a reference), for
// a tree builder to replace; no tree is built here, so it is replaced here.
std::string AttributeValue(const xmlChar* begin, const xmlChar* end) {
  constexpr std::string_view kAmpersand = "&#38;";
  const std::string_view raw(reinterpret_cast<const char*>(begin),
                             static_cast<std::size_t>(end - begin));
  std::string value;
  value.reserve(raw.size());
  std::size_t at = 0;
  for (std::size_t found = raw.find(kAmpersand); found != std::string_view::npos;
       found = raw.find(kAmpersand, at)) {
    value.append(raw.substr(at, found - at));
    value += '&';
    at = found + kAmpersand.size();
  }
  value.append(raw.substr(at));
  return value;
}

// An element's node name as a DOM reports it: its qualified tag name. The
// root element's attribute that was asked for is kept (SAX2 reports
// namespace declarations apart from the attributes).
void StartElement(void* context, const xmlChar* localName, const xmlChar* prefix,
                  const xmlChar* /*uri*/, int /*namespaceCount*/, const xmlChar** /*namespaces*/,
                  int attributeCount, int /*defaultedCount*/, const xmlChar** attributes) {
  ParseState& state = StateOf(context);
  if (state.Collector.AtTop() && attributes != nullptr && !state.RootAttributeName.empty()) {
    // Five pointers an attribute: local name, prefix, URI, value, value end.
    for (int i = 0; i < attributeCount; ++i) {
      const xmlChar* const* attribute = attributes + static_cast<std::ptrdiff_t>(i) * 5;
      if (QualifiedName(attribute[0], attribute[1]) == state.RootAttributeName) {
        state.RootAttribute = AttributeValue(attribute[3], attribute[4]);
      }
    }
  }
  if (prefix == nullptr) {
    state.Collector.StartElement(View(localName));  // no string made for most elements
  } else {
    state.Collector.StartElement(QualifiedName(localName, prefix));
  }
}

void EndElement(void* context, const xmlChar* /*localName*/, const xmlChar* /*prefix*/,
                const xmlChar* /*uri*/) {
  StateOf(context).Collector.EndElement();
}

void Characters(void* context, const xmlChar* text, int length) {
  StateOf(context).Collector.Characters(View(text, length), LastChild::Text);
}

void CDataBlock(void* context, const xmlChar* text, int length) {
  StateOf(context).Collector.Characters(View(text, length), LastChild::CData);
}

void Comment(void* context, const xmlChar* text) {
  StateOf(context).Collector.Other("#comment", View(text));
}

// A processing instruction's node name is its target.
void ProcessingInstruction(void* context, const xmlChar* target, const xmlChar* data) {
  StateOf(context).Collector.Other(std::string(View(target)), View(data));
}

// The list file as libxml2 reads it, chunk by chunk, so that no copy of the
// whole file is ever held: opened without blocking (a FIFO without a writer
// would hold a plain open() for ever), read only when it is a regular file
// of at most maxBytes bytes, and never read further than one byte past
// maxBytes however the file grows meanwhile.
class BoundedInput {
 public:
  BoundedInput(const std::filesystem::path& file, std::size_t maxBytes)
      : Descriptor(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)), Remaining(maxBytes) {
    struct stat info {};
    if (Descriptor >= 0 &&
        (::fstat(Descriptor, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
         static_cast<std::uintmax_t>(info.st_size) > maxBytes)) {
      ::close(Descriptor);
      Descriptor = -1;
    }
  }
  BoundedInput(const BoundedInput&) = delete;
  BoundedInput& operator=(const BoundedInput&) = delete;
  ~BoundedInput() {
    if (Descriptor >= 0) {
      ::close(Descriptor);
    }
  }

  bool Opened() const { return Descriptor >= 0; }

  // True while no read has failed and the file has kept within the bound:
  // a document cut short by either is no document, even where what was read
  // happens to be well-formed.
  bool Whole() const { return !Failed; }

  // libxml2's read callback: up to length bytes into buffer, 0 at the end,
  // -1 on failure.
  static int Read(void* context, char* buffer, int length) {
    auto& input = *static_cast<BoundedInput*>(context);
    if (input.Failed || length < 0) {
      return -1;
    }
    const auto wanted = static_cast<std::size_t>(length);
    const std::size_t asked = input.Remaining < wanted ? input.Remaining + 1 : wanted;
    ssize_t got = 0;
    do {
      got = ::read(input.Descriptor, buffer, asked);
    } while (got < 0 && errno == EINTR);
    if (got < 0 || static_cast<std::size_t>(got) > input.Remaining) {
      input.Failed = true;
      return -1;
    }
    input.Remaining -= static_cast<std::size_t>(got);
    return static_cast<int>(got);
  }

 private:
  int Descriptor;
  std::size_t Remaining;  // bytes that may still be read
  bool Failed = false;
};

struct ParserDeleter {
  void operator()(xmlParserCtxtPtr parser) const { xmlFreeParserCtxt(parser); }
};
struct DocumentDeleter {
  void operator()(xmlDocPtr document) const { xmlFreeDoc(document); }
};

class ThreadParsingFlag {
 public:
  ThreadParsingFlag() { ParsingOnThisThread = true; }
  ThreadParsingFlag(const ThreadParsingFlag&) = delete;
  ThreadParsingFlag& operator=(const ThreadParsingFlag&) = delete;
  ~ThreadParsingFlag() { ParsingOnThisThread = false; }
};

}  // namespace

std::optional<XmlDocument> ReadXmlDocument(const std::filesystem::path& file,
                                           std::string_view entryTag,
                                           std::string_view rootAttribute, std::size_t maxBytes) {
  InitialiseLibXml();

  BoundedInput input(file, maxBytes);
  if (!input.Opened()) {
    return std::nullopt;
  }
  const std::unique_ptr<xmlParserCtxt, ParserDeleter> parser(xmlNewParserCtxt());
  if (!parser) {
    return std::nullopt;
  }
  xmlSAXHandler& sax = *parser->sax;
  sax.internalSubset = RefusingSubset;
  sax.externalSubset = RefusingSubset;
  sax.entityDecl = RefusingEntityDecl;
  sax.unparsedEntityDecl = RefusingUnparsedEntityDecl;
  sax.reference = RefusingReference;
  // The entries are collected as the parser goes; no tree is built. One
  // hook takes all text, so that white space is never told apart as
  // ignorable.
  sax.startElementNs = StartElement;
  sax.endElementNs = EndElement;
  sax.characters = Characters;
  sax.ignorableWhitespace = Characters;
  sax.cdataBlock = CDataBlock;
  sax.comment = Comment;
  sax.processingInstruction = ProcessingInstruction;
  ParseState state(entryTag, rootAttribute);
  parser->_private = &state;

  std::unique_ptr<xmlDoc, DocumentDeleter> document;
  {
    const ThreadParsingFlag parsing;
    // No encoding given: the document's byte order mark or declaration
    // decides, as for a file. The document that comes back is empty.
    document.reset(xmlCtxtReadIO(parser.get(), BoundedInput::Read, nullptr, &input, nullptr,
                                 nullptr, kParseOptions));
  }
  if (!document || state.Refused || !parser->wellFormed || !input.Whole()) {
    return std::nullopt;
  }
  return XmlDocument{std::move(state.RootAttribute), state.Collector.Take()};
}

}  // namespace varo::platform
