// The update list's XML reader on libxml2.
//
// Hardening: the file is read whole, with a bound on its size, through
// ReadRegularFile (so that a FIFO or a device in its place neither blocks
// nor feeds endless data) and parsed from memory, without network access
// and with libxml2's own bounds on entity amplification (no XML_PARSE_HUGE).
// No document type declaration is accepted at all: a DOCTYPE, with or
// without an internal subset, stops the parse as soon as it is seen, before
// any declaration in it is read. So no entity besides the predefined ones
// and character references can appear, nothing can expand, and no DTD or
// external entity is ever loaded. As a second line, the process-wide
// external entity loader refuses every request made while a document of
// ours is being parsed on the calling thread.

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstddef>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

#include "platform/RegularFile.h"
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

// What the SAX hooks below learn about one parse.
struct ParseState {
  bool Refused = false;
};

void Refuse(void* context) {
  auto* parser = static_cast<xmlParserCtxtPtr>(context);
  static_cast<ParseState*>(parser->_private)->Refused = true;
  xmlStopParser(parser);
}

// Any document type declaration: the document is refused before the
// declaration's internal subset or external DTD is read.
void RefusingSubset(void* context, const xmlChar* /*name*/, const xmlChar* /*externalId*/,
                    const xmlChar* /*systemId*/) {
  Refuse(context);
}

// Declarations come only from a DTD, which is refused before any of them;
// should one still arrive, it is refused too.
void RefusingEntityDecl(void* context, const xmlChar* /*name*/, int /*type*/,
                        const xmlChar* /*publicId*/, const xmlChar* /*systemId*/,
                        xmlChar* /*content*/) {
  Refuse(context);
}

void RefusingUnparsedEntityDecl(void* context, const xmlChar* /*name*/, const xmlChar* /*publicId*/,
                                const xmlChar* /*systemId*/, const xmlChar* /*notationName*/) {
  Refuse(context);
}

struct ParserDeleter {
  void operator()(xmlParserCtxtPtr parser) const { xmlFreeParserCtxt(parser); }
};
struct DocumentDeleter {
  void operator()(xmlDocPtr document) const { xmlFreeDoc(document); }
};
struct XmlStringDeleter {
  void operator()(xmlChar* text) const { xmlFree(text); }
};

class ThreadParsingFlag {
 public:
  ThreadParsingFlag() { ParsingOnThisThread = true; }
  ThreadParsingFlag(const ThreadParsingFlag&) = delete;
  ThreadParsingFlag& operator=(const ThreadParsingFlag&) = delete;
  ~ThreadParsingFlag() { ParsingOnThisThread = false; }
};

std::string AsString(const xmlChar* text) {
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text));
}

// The node name as a DOM reports it: the qualified tag name of an element,
// "#text" and the like for the other kinds.
std::string NodeName(const xmlNode& node) {
  switch (node.type) {
    case XML_ELEMENT_NODE:
      if (node.ns != nullptr && node.ns->prefix != nullptr) {
        return AsString(node.ns->prefix) + ":" + AsString(node.name);
      }
      return AsString(node.name);
    case XML_TEXT_NODE:
      return "#text";
    case XML_CDATA_SECTION_NODE:
      return "#cdata-section";
    case XML_COMMENT_NODE:
      return "#comment";
    default:
      // Processing instructions carry their target, entity references their
      // entity's name.
      return AsString(node.name);
  }
}

std::string TrimmedText(const xmlNode& node) {
  const std::unique_ptr<xmlChar, XmlStringDeleter> content(xmlNodeGetContent(&node));
  const std::string text = AsString(content.get());
  constexpr const char* kBlanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string::npos) {
    return {};
  }
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

XmlEntry ReadEntry(const xmlNode& element) {
  XmlEntry entry;
  for (const xmlNode* child = element.children; child != nullptr; child = child->next) {
    entry.push_back({NodeName(*child), TrimmedText(*child)});
  }
  return entry;
}

// Every element below root named entryTag, in document order.
std::vector<XmlEntry> CollectEntries(const xmlNode& root, std::string_view entryTag) {
  std::vector<XmlEntry> entries;
  const xmlNode* node = root.children;
  while (node != nullptr) {
    if (node->type == XML_ELEMENT_NODE && NodeName(*node) == entryTag) {
      entries.push_back(ReadEntry(*node));
    }
    if (node->type == XML_ELEMENT_NODE && node->children != nullptr) {
      node = node->children;
      continue;
    }
    while (node != nullptr && node != &root && node->next == nullptr) {
      node = node->parent;
    }
    node = (node == nullptr || node == &root) ? nullptr : node->next;
  }
  return entries;
}

}  // namespace

std::optional<std::vector<XmlEntry>> ReadXmlEntries(const std::filesystem::path& file,
                                                    std::string_view entryTag,
                                                    std::size_t maxBytes) {
  InitialiseLibXml();

  const auto content = ReadRegularFile(file, maxBytes);
  if (!content || content->size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return std::nullopt;
  }
  const std::unique_ptr<xmlParserCtxt, ParserDeleter> parser(xmlNewParserCtxt());
  if (!parser) {
    return std::nullopt;
  }
  parser->sax->internalSubset = RefusingSubset;
  parser->sax->externalSubset = RefusingSubset;
  parser->sax->entityDecl = RefusingEntityDecl;
  parser->sax->unparsedEntityDecl = RefusingUnparsedEntityDecl;
  ParseState state;
  parser->_private = &state;

  std::unique_ptr<xmlDoc, DocumentDeleter> document;
  {
    const ThreadParsingFlag parsing;
    // No encoding given: the document's byte order mark or declaration
    // decides, as for a file.
    document.reset(xmlCtxtReadMemory(parser.get(), content->data(),
                                     static_cast<int>(content->size()), nullptr, nullptr,
                                     kParseOptions));
  }
  if (!document || state.Refused || !parser->wellFormed) {
    return std::nullopt;
  }
  const xmlNode* root = xmlDocGetRootElement(document.get());
  if (root == nullptr) {
    return std::nullopt;
  }
  return CollectEntries(*root, entryTag);
}

}  // namespace varo::platform
