// Notes beside partial packs: written once per transfer (when the pack
// reaches a size worth continuing, or when its transfer is cut off), compared
// byte for byte when a later run finds the pack.
#include "resume_note.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "base_dir.h"
#include "updater.h"

const char kResumeNoteSuffix[] = ".updater-resume";

namespace {

// The first line tells a note from anything else that may have its name,
// and lets a later format be told from this one.
const char kMagic[] = "updater resume note 1\n";

std::string NoteName(const std::string& pack) { return pack + kResumeNoteSuffix; }

}  // namespace

std::string ResumeNoteText(const UpdateFile& file) {
  char size[32];
  snprintf(size, sizeof(size), "%" PRId64, file.size);
  return std::string(kMagic) + "url " + file.url + "\npack " + file.packDigest + "\nfile " +
         file.fileDigest + "\nsize " + size + "\n";
}

bool WriteResumeNote(int packDir, const std::string& pack, const std::string& text) {
  PathError error;
  int fd = CreateFresh(packDir, NoteName(pack), &error);
  if (fd < 0) return false;
  size_t done = 0;
  // Each round writes at least one byte or ends the loop.
  while (done < text.size()) {
    ssize_t count = write(fd, text.data() + done, text.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    done += static_cast<size_t>(count);
  }
  bool ok = close(fd) == 0 && done == text.size();
  if (!ok) RemoveResumeNote(packDir, pack);
  return ok;
}

bool ResumeNoteMatches(int packDir, const std::string& pack, const std::string& text) {
  PathError error;
  int fd = OpenRegularAt(packDir, NoteName(pack), &error);
  if (fd < 0) return false;
  // One byte more than the expected text tells a longer note apart.
  std::string found(text.size() + 1, '\0');
  size_t done = 0;
  // Each round reads at least one byte or ends the loop.
  while (done < found.size()) {
    ssize_t count = read(fd, &found[done], found.size() - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    done += static_cast<size_t>(count);
  }
  close(fd);
  return done == text.size() && found.compare(0, done, text) == 0;
}

void RemoveResumeNote(int packDir, const std::string& pack) {
  unlinkat(packDir, NoteName(pack).c_str(), 0);
}
