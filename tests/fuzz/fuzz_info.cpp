// Fuzz target: the update-info parser. Each input is the document text of a
// fresh Updater, parsed against a base directory that holds a few installed
// files (so that digests are computed and outdated files found) and without
// an INI file. The text chooses its own generation by its "version".
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_util.h"
#include "sockets3.h"
#include "updater.h"

namespace {

void IgnoreLine(const char*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::TempDir dir(
      {{"README.txt", "Read the manual.\n"}, {"bin/app", "an older program"}, {"old.txt", "x"}});
  // Keeps the TLS library set up between inputs, which each Updater would
  // otherwise set up and tear down again.
  static Velmar_Sockets3* keeper = new Velmar_Sockets3();
  (void)keeper;
  static UpdaterCallbacks callbacks = {nullptr, nullptr, IgnoreLine, IgnoreLine};

  fuzz::InsideDir inside(dir);
  fuzz::TrackedLeakCheck leaks;
  Updater updater;
  updater.Init("", dir.base().c_str(), "app", "", &callbacks);
  updater.infoText.assign(reinterpret_cast<const char*>(data), size);
  updater.ParseInfo();
  return 0;
}
