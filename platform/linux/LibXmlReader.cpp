// The update list's XML reader on libxml2.
//
// Hardening: the document is parsed from a stream we open ourselves, without
// network access, without loading any DTD, and with libxml2's own bounds on
// entity amplification (no XML_PARSE_HUGE). Entities are substituted so that
// the tree holds plain text; because substitution is what makes libxml2 load
// external entities, a document that declares an external entity or names an
// external DTD subset is refused as soon as the declaration is seen. As a
// second line, the process-wide external entity loader refuses every request
// made while a document of ours is being parsed on the calling thread.

#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <cstddef>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "platform/XmlReader.h"

namespace varo::platform {
namespace {

constexpr int kParseOptions =
    XML_PARSE_NOENT | XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

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

void RefusingInternalSubset(void* context, const xmlChar* name, const xmlChar* externalId,
                            const xmlChar* systemId) {
  if (externalId != nullptr || systemId != nullptr) {
    Refuse(context);
    return;
  }
  xmlSAX2InternalSubset(context, name, externalId, systemId);
}

void IgnoredExternalSubset(void* /*context*/, const xmlChar* /*name*/,
                           const xmlChar* /*externalId*/, const xmlChar* /*systemId*/) {}

void RefusingEntityDecl(void* context, const xmlChar* name, int type, const xmlChar* publicId,
                        const xmlChar* systemId, xmlChar* content) {
  if (type != XML_INTERNAL_GENERAL_ENTITY && type != XML_INTERNAL_PARAMETER_ENTITY) {
    Refuse(context);
    return;
  }
  xmlSAX2EntityDecl(context, name, type, publicId, systemId, content);
}

void RefusingUnparsedEntityDecl(void* context, const xmlChar* /*name*/, const xmlChar* /*publicId*/,
                                const xmlChar* /*systemId*/, const xmlChar* /*notationName*/) {
  Refuse(context);
}

int ReadFromStream(void* context, char* buffer, int length) {
  auto* stream = static_cast<std::ifstream*>(context);
  stream->read(buffer, length);
  if (stream->bad()) {
    return -1;
  }
  return static_cast<int>(stream->gcount());
}

int KeepStreamOpen(void* /*context*/) {
  return 0;
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
                                                    std::string_view entryTag) {
  InitialiseLibXml();

  std::ifstream stream(file, std::ios::binary);
  if (!stream) {
    return std::nullopt;
  }
  const std::unique_ptr<xmlParserCtxt, ParserDeleter> parser(xmlNewParserCtxt());
  if (!parser) {
    return std::nullopt;
  }
  parser->sax->internalSubset = RefusingInternalSubset;
  parser->sax->externalSubset = IgnoredExternalSubset;
  parser->sax->entityDecl = RefusingEntityDecl;
  parser->sax->unparsedEntityDecl = RefusingUnparsedEntityDecl;
  ParseState state;
  parser->_private = &state;

  std::unique_ptr<xmlDoc, DocumentDeleter> document;
  {
    const ThreadParsingFlag parsing;
    document.reset(xmlCtxtReadIO(parser.get(), ReadFromStream, KeepStreamOpen, &stream, nullptr,
                                 nullptr, kParseOptions));
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
