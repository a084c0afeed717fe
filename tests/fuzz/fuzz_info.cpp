// Fuzz target: the update-info parser. Each input is the document text of a
// fresh Updater, without an INI file, over a base directory holding a few
// installed files (so that digests are computed and outdated files found).
// The text chooses its own generation by its "version".
//
// The file list is read one element at a time, so a parse that succeeds must
// have a whole text that TinyXML accepts, with as many children of "files"
// as entries were built. TinyXML is not built with the sanitizers: each input
// is also parsed by TinyXML alone, padded as the parser hands it over, from
// a buffer that ends right before an unreadable page, where a read past the
// end crashes.
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

// Texts longer than the buffer are left out.
void ParseBeforeGuardPage(const std::string& text) {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  static const size_t room = 64 * page;
  static char* region = [] {
    void* pages =
        mmap(nullptr, room + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED || mprotect(static_cast<char*>(pages) + room, page, PROT_NONE) != 0) {
      fuzz::Die("guard page");
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

// Aborts unless TinyXML accepts the whole text and finds `files` children of
// the first "files" element of its first "update_info" element.
void CheckWholeParse(const std::string& text, int files) {
  TiXmlDocument document;
  document.Parse(TinyXmlText(text).c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
  const TiXmlElement* root = document.FirstChildElement("update_info");
  const TiXmlElement* list = root != nullptr ? root->FirstChildElement("files") : nullptr;
  int children = 0;
  for (const TiXmlElement* child = list != nullptr ? list->FirstChildElement() : nullptr;
       child != nullptr; child = child->NextSiblingElement()) {
    ++children;
  }
  if (document.Error() || children != files) abort();
}

bool MakeInstalledFiles() {
  const std::string& dir = fuzz::Dir();
  return e2e::WriteFile(dir + "/README.txt", "Read the manual.\n") &&
         e2e::WriteFile(dir + "/bin/app", "an older program") &&
         e2e::WriteFile(dir + "/old.txt", "x");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool made = MakeInstalledFiles();
  if (!made) fuzz::Die("installed files");
  // Keeps the TLS library set up between inputs; each Updater would
  // otherwise set it up and tear it down again.
  static Velmar_Sockets3* keeper = new Velmar_Sockets3();
  (void)keeper;
  static UpdaterCallbacks callbacks = {nullptr, nullptr, IgnoreLine, IgnoreLine, nullptr};
  const std::string text(reinterpret_cast<const char*>(data), size);
  bool tooDeep = false;
  {
    fuzz::InsideDir inside;
    fuzz::TrackedLeakCheck leaks;
    Updater updater;
    updater.Init("", (fuzz::Dir() + "/").c_str(), "app", "", &callbacks);
    updater.infoText = text;
    bool parsed = updater.ParseInfo();
    // TinyXML would overflow the stack on what the parser refuses as nested
    // too deeply.
    tooDeep = !parsed && strstr(updater.GetLastError(), "nested deeper") != nullptr;
    if (parsed) CheckWholeParse(text, updater.fileCount);
  }
  if (!tooDeep) ParseBeforeGuardPage(text);
  return 0;
}
