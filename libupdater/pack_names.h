// Where a file's pack lives: the pack directory under the base directory and
// the pack's name in it. The name depends on the document alone, so a pack
// left by an earlier run is found again, and both the update and the dry run
// look in the same place.
//
// Thread-safety: a PackNames object is read-only once built; several threads
// may call For() on one object. It holds no pointers into the file list.
#ifndef UPDATER_LIBUPDATER_PACK_NAMES_H_
#define UPDATER_LIBUPDATER_PACK_NAMES_H_

#include <map>
#include <string>

struct UpdateFile;

// The pack directory, relative to the base directory.
extern const char kPackDirectory[];

class PackNames {
 public:
  // Counts the file names of the pack URLs along the list starting at
  // `files` (may be null).
  explicit PackNames(const UpdateFile* files);

  // The name of `file`'s pack: the file-name part of its URL, and when
  // another entry's URL ends in the same name, a dash and the first eight
  // hex digits of the MD5 of the entry's path. Empty, ".", or ".." when the
  // URL names no file; the caller refuses those.
  std::string For(const UpdateFile* file) const;

 private:
  std::map<std::string, int> counts_;
};

#endif  // UPDATER_LIBUPDATER_PACK_NAMES_H_
