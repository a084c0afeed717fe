// Fuzz target: the update-info parser. Each input is the document text of a
// fresh Updater, parsed against a base directory that holds a few installed
// files (so that digests are computed and outdated files found) and without
// an INI file. The text chooses its own generation by its "version".
//
// The file list of a large document is read one element at a time; a parse
// that succeeds must therefore have a whole text that TinyXML accepts, with
// as many children of "files" as entries were built.
//
// TinyXML is not built with the sanitizers, so a read past the end of the
// text inside it would go unseen. Each input is therefore also parsed by
// TinyXML alone, in the padded form the parser hands it, from a buffer that
// ends right before a page that cannot be read: such a read crashes there.
#include <sys/mman.h>
#include <tinyxml.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "sockets3.h"
#include "tinyxml_text.h"
#include "updater.h"

namespace {

void IgnoreLine(const char*) {}

// Parses `text` with TinyXML from the end of a buffer followed by an
// unreadable page; longer texts than the buffer are left out.
void ParseBeforeGuardPage(const std::string& text) {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  static const size_t room = 64 * page;
  static char* region = [] {
    void* pages =
        mmap(nullptr, room + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED || mprotect(static_cast<char*>(pages) + room, page, PROT_NONE) != 0) {
      fuzz::TempDir::Die("guard page");
    }
    return static_cast<char*>(pages);
  }();
  const std::string padded = TinyXmlText(text);
  const size_t length = padded.size() + 1;  // with the terminator of c_str()
  if (length > room) return;
  char* start = region + room - length;
  memcpy(start, padded.c_str(), length);
  TiXmlDocument document;
  document.Parse(start, nullptr, TIXML_ENCODING_UNKNOWN);
}

// Aborts unless TinyXML accepts the whole text and finds `files` children
// of the first "files" element of its first "update_info" element.
void CheckWholeParse(const std::string& text, int files) {
  const std::string padded = TinyXmlText(text);
  TiXmlDocument document;
  document.Parse(padded.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
  const TiXmlElement* root = document.FirstChildElement("update_info");
  const TiXmlElement* list = root != nullptr ? root->FirstChildElement("files") : nullptr;
  int children = 0;
  for (const TiXmlElement* child = list != nullptr ? list->FirstChildElement() : nullptr;
       child != nullptr; child = child->NextSiblingElement()) {
    ++children;
  }
  if (document.Error() || children != files) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::TempDir dir(
      {{"README.txt", "Read the manual.\n"}, {"bin/app", "an older program"}, {"old.txt", "x"}});
  // Keeps the TLS library set up between inputs, which each Updater would
  // otherwise set up and tear down again.
  static Velmar_Sockets3* keeper = new Velmar_Sockets3();
  (void)keeper;
  static UpdaterCallbacks callbacks = {nullptr, nullptr, IgnoreLine, IgnoreLine, nullptr};

  const std::string text(reinterpret_cast<const char*>(data), size);
  bool tooDeep = false;
  {
    fuzz::InsideDir inside(dir);
    fuzz::TrackedLeakCheck leaks;
    Updater updater;
    updater.Init("", dir.base().c_str(), "app", "", &callbacks);
    updater.infoText = text;
    // TinyXML would overflow the stack on what the parser refuses as nested
    // too deeply.
    bool parsed = updater.ParseInfo();
    tooDeep = !parsed && strstr(updater.GetLastError(), "nested deeper") != nullptr;
    if (parsed) CheckWholeParse(text, updater.fileCount);
  }
  if (!tooDeep) ParseBeforeGuardPage(text);
  return 0;
}
