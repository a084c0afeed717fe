// The file list of an update-info document read one element at a time, the
// rest of it as a small skeleton; and the nesting measure.
#include "info_stream.h"

#include <cctype>
#include <exception>
#include <string_view>

#include "tinyxml_text.h"

namespace {

constexpr size_t npos = std::string::npos;

// One tag as the tag walk sees it.
struct Tag {
  size_t start;  // its '<'
  size_t end;    // just past its '>' (or the end of the text)
  bool element;  // an element start tag, empty or not
  bool closing;  // an end tag
  bool empty;    // an element start tag ending in "/>"
};

// Index just past the '>' that ends the tag starting at `at`; quoted
// attribute values are skipped when `quotes` is set (element tags only, as
// TinyXML reads other markup up to the first '>').
size_t SkipTag(std::string_view text, size_t at, bool quotes) {
  char quote = '\0';
  for (size_t i = at + 1; i < text.size(); ++i) {
    char c = text[i];
    if (quote != '\0') {
      if (c == quote) quote = '\0';
    } else if (quotes && (c == '"' || c == '\'')) {
      quote = c;
    } else if (c == '>') {
      return i + 1;
    }
  }
  return text.size();
}

// Calls visit(tag) for every tag outside comments and CDATA sections, in
// text order, until it returns false. A rough look at the markup, never
// trusted on its own: what it finds is what TinyXML is then asked about.
template <typename Visit>
void WalkTags(std::string_view text, Visit visit) {
  size_t at = 0;
  while ((at = text.find('<', at)) != npos) {
    const char* end = nullptr;
    if (text.compare(at, 4, "<!--") == 0) end = "-->";
    if (text.compare(at, 9, "<![CDATA[") == 0) end = "]]>";
    if (end != nullptr) {
      at = text.find(end, at + 4);
      if (at == npos) return;
      at += 3;
      continue;
    }
    unsigned char next = at + 1 < text.size() ? text[at + 1] : '\0';
    Tag tag;
    tag.start = at;
    // Like TinyXML, any byte from 127 on may begin an element name.
    tag.element = next >= 127 || isalpha(next) || next == '_';
    tag.closing = next == '/';
    at = tag.end = SkipTag(text, at, tag.element);
    tag.empty = tag.element && text[at - 1] == '>' && text[at - 2] == '/';
    if (!visit(tag)) return;
  }
}

// True when the element tag `tag` is named `name`.
bool Named(std::string_view text, const Tag& tag, std::string_view name) {
  if (text.compare(tag.start + 1, name.size(), name) != 0) return false;
  size_t after = tag.start + 1 + name.size();
  return after >= text.size() || isspace(static_cast<unsigned char>(text[after])) ||
         text[after] == '/' || text[after] == '>';
}

// Where the content of the first "files" element of the first top-level
// "update_info" element begins (just past its start tag), or npos when the
// walk finds no such element with content.
size_t FindFilesContent(std::string_view text) {
  int depth = 0;
  bool inRoot = false;
  size_t found = npos;
  WalkTags(text, [&](const Tag& tag) {
    if (tag.closing) {
      if (depth > 0) --depth;
      return !(inRoot && depth == 0);
    }
    if (!tag.element) return true;
    if (depth == 0 && Named(text, tag, "update_info")) {
      if (tag.empty) return false;
      inRoot = true;
    } else if (inRoot && depth == 1 && Named(text, tag, "files")) {
      if (!tag.empty) found = tag.end;
      return false;
    }
    if (!tag.empty) ++depth;
    return true;
  });
  return found;
}

// A TinyXML document that reads the content of an element node by node, as
// TinyXML's own element parser does, keeping only the node at hand.
class ChildReader : public TiXmlDocument {
 public:
  // Reads the nodes from `p` up to the "</" of the enclosing end tag and
  // returns its position; hands every element to `visitor`. Null when a node
  // is malformed, the text ends first or the visitor stops.
  const char* Read(const char* p, TiXmlEncoding encoding, FilesVisitor* visitor) {
    p = SkipWhiteSpace(p, encoding);
    while (p != nullptr && *p != '\0') {
      if (StringEqual(p, "</", false, encoding)) return p;
      TiXmlNode* node = *p == '<' ? Identify(p, encoding) : new TiXmlText("");
      if (node == nullptr) return nullptr;
      LinkEndChild(node);  // errors are recorded in this document
      p = node->Parse(p, nullptr, encoding);
      const TiXmlElement* element = node->ToElement();
      bool ok = p != nullptr && !Error() && (element == nullptr || visitor->File(*element));
      Clear();
      if (!ok) return nullptr;
      p = SkipWhiteSpace(p, encoding);
    }
    return nullptr;
  }

  // The encoding TinyXML reads the element `root` of `document` in, parsed
  // from `text` with the encoding left to TinyXML: UTF-8 after a byte-order
  // mark; otherwise chosen by the first declaration before `root`.
  static TiXmlEncoding EncodingOf(const TiXmlDocument& document, const TiXmlNode* root,
                                  const char* text) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    if (bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
      return TIXML_ENCODING_UTF8;
    }
    for (const TiXmlNode* node = document.FirstChild(); node != nullptr && node != root;
         node = node->NextSibling()) {
      const TiXmlDeclaration* declaration = node->ToDeclaration();
      if (declaration == nullptr) continue;
      const char* name = declaration->Encoding();
      bool utf8 = *name == '\0' || StringEqual(name, "UTF-8", true, TIXML_ENCODING_UNKNOWN) ||
                  StringEqual(name, "UTF8", true, TIXML_ENCODING_UNKNOWN);
      return utf8 ? TIXML_ENCODING_UTF8 : TIXML_ENCODING_LEGACY;
    }
    return TIXML_ENCODING_UNKNOWN;
  }
};

// What the skeleton must agree on with the text that was streamed.
struct Frame {
  TiXmlEncoding encoding = TIXML_ENCODING_UNKNOWN;
  bool hasVersion = false;
  std::string version;

  bool operator==(const Frame& other) const {
    return encoding == other.encoding && hasVersion == other.hasVersion && version == other.version;
  }
};

// Parses `text` (padded) into `document` and reads the frame of its first
// "update_info" element, which `root` receives. False when the text is not
// well-formed or has no such element.
bool ReadFrame(const std::string& text, TiXmlDocument* document, const TiXmlElement** root,
               Frame* frame) {
  document->Parse(text.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
  *root = document->FirstChildElement("update_info");
  if (document->Error() || *root == nullptr) return false;
  frame->encoding = ChildReader::EncodingOf(*document, *root, text.c_str());
  const std::string* version = (*root)->Attribute(std::string("version"));
  frame->hasVersion = version != nullptr;
  if (version != nullptr) frame->version = *version;
  return true;
}

std::string Padded(std::string text) {
  text.append(kTinyXmlPadding, '\0');
  return text;
}

// A comment text that `text` does not hold, so that the comment put in place
// of the file list is known for the one it is; empty when none is found.
std::string UniqueMarker(std::string_view text) {
  for (char digit = '0'; digit <= '9'; ++digit) {
    std::string marker = std::string("updater-file-list-") + digit;
    if (text.find(marker) == npos) return marker;
  }
  return std::string();
}

bool Stream(const char* text, size_t length, FilesVisitor* visitor, TiXmlDocument* skeleton) {
  std::string_view view(text, length);
  size_t start = FindFilesContent(view);
  if (start == npos || !TiXmlBase::IsWhiteSpaceCondensed()) return false;
  // The version and the encoding, from the text before the list with the
  // open elements closed.
  std::string head(text, start);
  Frame frame;
  {
    TiXmlDocument front;
    const TiXmlElement* root = nullptr;
    if (!ReadFrame(Padded(head + "</files></update_info>"), &front, &root, &frame)) return false;
  }
  if (!visitor->Version(frame.hasVersion ? &frame.version : nullptr)) return false;
  ChildReader reader;
  const char* end = reader.Read(text + start, frame.encoding, visitor);
  std::string marker = UniqueMarker(view);
  if (end == nullptr || marker.empty()) return false;
  // TinyXML reads the text up to `start` and from `end` on exactly as it
  // reads the skeleton: the comment stands where the list's nodes were.
  std::string rest(end, text + length - end);
  const TiXmlElement* root = nullptr;
  Frame check;
  if (!ReadFrame(Padded(head + "<!--" + marker + "-->" + rest), skeleton, &root, &check)) {
    return false;
  }
  const TiXmlElement* files = root->FirstChildElement("files");
  const TiXmlNode* only = files != nullptr ? files->FirstChild() : nullptr;
  return only != nullptr && only == files->LastChild() && only->ToComment() != nullptr &&
         only->ValueStr() == marker && check == frame;
}

}  // namespace

size_t FindTooDeep(const char* text, size_t length, int maxDepth) {
  int depth = 0;
  size_t found = npos;
  WalkTags(std::string_view(text, length), [&](const Tag& tag) {
    if (tag.closing) {
      if (depth > 0) --depth;
    } else if (tag.element && !tag.empty && ++depth > maxDepth) {
      found = tag.start;
      return false;
    }
    return true;
  });
  return found;
}

bool StreamFiles(const char* text, size_t length, FilesVisitor* visitor, TiXmlDocument* skeleton) {
  try {
    return Stream(text, length, visitor, skeleton);
  } catch (const std::exception&) {
    return false;  // out of memory: the whole text is parsed instead
  }
}
