// Fuzz target: the update-info parser, over a few installed files. What it
// accepts, TinyXML must accept whole, with as many "files" children as it
// built entries. TinyXML (without sanitizers) also parses each padded text
// from a buffer that ends right before an unreadable page.
#include <sys/mman.h>
#include <tinyxml.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "tinyxml_text.h"
#include "updater.h"

namespace {

void ParseBeforeGuardPage(const std::string& text) {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE)), room = 64 * page;
  static char* region = [] {
    void* pages =
        mmap(nullptr, room + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED || mprotect(static_cast<char*>(pages) + room, page, PROT_NONE) != 0)
      fuzz::Die("guard page");
    return static_cast<char*>(pages);
  }();
  const std::string padded = TinyXmlText(text);
  const size_t length = padded.size() + 1;  // with the terminator
  if (length > room) return;
  memcpy(region + room - length, padded.c_str(), length);
  TiXmlDocument document;
  document.Parse(region + room - length, nullptr, TIXML_ENCODING_UNKNOWN);
}

void CheckWholeParse(const std::string& text, int files) {
  TiXmlDocument document;
  document.Parse(TinyXmlText(text).c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
  const TiXmlElement* root = document.FirstChildElement("update_info");
  const TiXmlElement* list = root != nullptr ? root->FirstChildElement("files") : nullptr;
  const TiXmlElement* child = list != nullptr ? list->FirstChildElement() : nullptr;
  for (; child != nullptr; child = child->NextSiblingElement()) files--;
  if (document.Error() || files != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string& dir = fuzz::Dir();
  static const bool made = e2e::WriteFile(dir + "/README.txt", "Read the manual.\n") &&
                           e2e::WriteFile(dir + "/bin/app", "an older program") &&
                           e2e::WriteFile(dir + "/old.txt", "x");
  if (!made) fuzz::Die("installed files");
  static UpdaterCallbacks callbacks = {nullptr, nullptr, [](const char*) {}, [](const char*) {},
                                       nullptr};  // lines not printed
  const std::string text(reinterpret_cast<const char*>(data), size);
  bool tooDeep = false;
  {
    fuzz::InputScope scope;
    Updater updater;
    updater.Init("", (dir + "/").c_str(), "app", "", &callbacks);
    updater.infoText = text;
    bool parsed = updater.ParseInfo();
    // TinyXML would overflow the stack on what is nested too deeply.
    tooDeep = !parsed && strstr(updater.GetLastError(), "nested deeper") != nullptr;
    if (parsed) CheckWholeParse(text, updater.fileCount);
  }
  if (!tooDeep) ParseBeforeGuardPage(text);
  return 0;
}
