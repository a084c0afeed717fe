// Writing the update-info document.
#include "document.h"

#include <cstdio>

namespace {

// Appends ` name="value"` with the value escaped.
void Attribute(std::string* out, const char* name, const std::string& value) {
  *out += ' ';
  *out += name;
  *out += "=\"";
  *out += XmlEscape(value);
  *out += '"';
}

std::string JoinGroups(const std::vector<std::string>& groups) {
  std::string joined;
  for (const std::string& group : groups) {
    if (!joined.empty()) joined += ',';
    joined += group;
  }
  return joined;
}

void WriteGroups(std::string* out, const std::vector<PackageGroup>& groups) {
  if (groups.empty()) return;
  *out += "  <groups>\n";
  for (const PackageGroup& group : groups) {
    *out += "    <group";
    Attribute(out, "name", group.name);
    if (!group.dispName.empty()) Attribute(out, "dispName", group.dispName);
    if (!group.menu.empty()) Attribute(out, "menu", group.menu);
    if (!group.desc.empty()) Attribute(out, "desc", group.desc);
    Attribute(out, "priority", std::to_string(group.priority));
    Attribute(out, "default", std::to_string(group.defaultState));
    if (group.defaultGroup) Attribute(out, "defaultgrp", "1");
    *out += "/>\n";
  }
  *out += "  </groups>\n";
}

void WriteFile(std::string* out, int generation, const PublishedFile& file) {
  bool second = generation >= 2;
  *out += "    <file";
  Attribute(out, "file", file.path);
  Attribute(out, "size", std::to_string(file.size));
  Attribute(out, "modes", std::to_string(file.mode));
  Attribute(out, "url", file.url);
  if (second && !file.groups.empty()) Attribute(out, "group", JoinGroups(file.groups));
  Attribute(out, "key", file.key);
  Attribute(out, second ? "sha" : "md5", file.fileDigest);
  Attribute(out, second ? "packsha" : "packmd5", file.packDigest);
  *out += "/>\n";
}

}  // namespace

std::string XmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      case '\t':
        out += "&#x9;";
        break;
      case '\n':
        out += "&#xA;";
        break;
      case '\r':
        out += "&#xD;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string WriteDocument(const PublishedDocument& document) {
  bool second = document.generation >= 2;
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update_info";
  Attribute(&out, "version", std::to_string(document.generation));
  out += ">\n  <info";
  Attribute(&out, "AppName", document.appName);
  Attribute(&out, "Author", document.author);
  Attribute(&out, "URL", document.appUrl);
  if (second) Attribute(&out, "FileBase", document.fileBase);
  if (!document.name.empty()) Attribute(&out, "document", document.name);
  if (!document.serial.empty()) Attribute(&out, "serial", document.serial);
  if (!document.expires.empty()) Attribute(&out, "expires", document.expires);
  out += "/>\n";
  if (second) WriteGroups(&out, document.groups);
  out += "  <files>\n";
  for (const PublishedFile& file : document.files) WriteFile(&out, document.generation, file);
  out += "  </files>\n";
  if (!document.outdated.empty()) {
    out += "  <delete>\n";
    for (const std::string& path : document.outdated) {
      out += "    <file";
      Attribute(&out, "file", path);
      out += "/>\n";
    }
    out += "  </delete>\n";
  }
  out += "</update_info>\n";
  return out;
}

std::string UrlEscapePath(const std::string& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}
