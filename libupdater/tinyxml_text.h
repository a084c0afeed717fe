// The update-info text in the form handed to TinyXML.
//
// TinyXML takes the length of a UTF-8 sequence (1 to 4 bytes) from its lead
// byte alone and steps over the whole sequence without looking at the bytes
// it passes. A text that ends inside a sequence thus makes it step over the
// terminating zero, up to three bytes past it, and read on from there. Every
// other step of its parser looks at the byte it steps over and stops at a
// zero byte. Three more zero bytes after the terminator therefore keep every
// read inside the buffer: a sequence step lands on one of them at the
// latest, and the parser stops there.
//
// Thread-safety: a pure function of its argument.
#ifndef UPDATER_LIBUPDATER_TINYXML_TEXT_H_
#define UPDATER_LIBUPDATER_TINYXML_TEXT_H_

#include <cstddef>
#include <string>

// Zero bytes that follow the terminator of a text handed to TinyXML.
constexpr size_t kTinyXmlPadding = 3;

// A copy of `text` up to its first zero byte, where TinyXML stops reading,
// followed by kTinyXmlPadding zero bytes; TinyXML is to be given its c_str().
inline std::string TinyXmlText(const std::string& text) {
  std::string padded(text.c_str());
  padded.append(kTinyXmlPadding, '\0');
  return padded;
}

#endif  // UPDATER_LIBUPDATER_TINYXML_TEXT_H_
