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
// Thread-safety: TinyXmlText is a pure function of its argument; a
// TinyXmlTextInPlace belongs to the thread that owns its text.
#ifndef UPDATER_LIBUPDATER_TINYXML_TEXT_H_
#define UPDATER_LIBUPDATER_TINYXML_TEXT_H_

#include <cstddef>
#include <cstring>
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

// `text` in the form handed to TinyXML, as TinyXmlText gives it. A text
// without a zero byte is padded in place rather than copied, since a large
// document would otherwise be held twice; Restore() (or the destructor) takes
// the padding off again. The text must not be used otherwise meanwhile.
class TinyXmlTextInPlace {
 public:
  explicit TinyXmlTextInPlace(std::string* text) : text_(text), length_(strlen(text->c_str())) {
    inPlace_ = length_ == text->size();
    if (inPlace_) {
      text->append(kTinyXmlPadding, '\0');
    } else {
      copy_ = TinyXmlText(*text);
    }
  }
  ~TinyXmlTextInPlace() { Restore(); }
  TinyXmlTextInPlace(const TinyXmlTextInPlace&) = delete;
  TinyXmlTextInPlace& operator=(const TinyXmlTextInPlace&) = delete;

  // The padded text, valid until Restore(), and its length before the
  // padding.
  const char* data() const { return inPlace_ ? text_->c_str() : copy_.c_str(); }
  size_t length() const { return length_; }
  // Gives the text back as it was; data() is then empty.
  void Restore() {
    if (inPlace_) text_->resize(length_);
    inPlace_ = false;
    copy_.clear();
  }

 private:
  std::string* text_;
  size_t length_;  // up to the first zero byte
  bool inPlace_;
  std::string copy_;
};

#endif  // UPDATER_LIBUPDATER_TINYXML_TEXT_H_
