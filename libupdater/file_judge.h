// Judges parsed file entries against the installed copies: an entry needs an
// update unless a regular file with the expected digest is at its path under
// the base directory. Every listed file of an installation is read whole on
// every run, so the entries are shared out among workers, one per online
// processor, each with its own descriptor of the base directory and its own
// read buffer.
//
// Thread-safety: JudgeFiles runs its workers and waits for them; each worker
// writes only the entries it has claimed (one atomic counter hands them out)
// and nothing else is shared. The caller must keep every other thread off
// the entries while it runs.
#ifndef UPDATER_LIBUPDATER_FILE_JUDGE_H_
#define UPDATER_LIBUPDATER_FILE_JUDGE_H_

#include <cstddef>
#include <string>

struct UpdateFile;

// How the installed copies are judged.
struct JudgeSettings {
  std::string baseDir;          // the installation's base directory
  bool sha256 = true;           // SHA-256 digests, otherwise MD5
  bool removeLeftovers = true;  // delete a staged file left beside each entry by an
                                // interrupted run before the entry is judged
  size_t workers = 0;           // 0: one per online processor
};

// Sets needsUpdate of files[0 .. count) (which stay the caller's; their
// `size` only decides which are read first): false
// exactly when the entry's path under the base directory is a regular file,
// reached by the base directory's link rules (see base_dir.h), whose digest
// equals the entry's fileDigest without regard to case. A base directory that
// cannot be opened leaves every entry needing an update. Never fails; when no
// worker thread can be started, the calling thread does all the work.
void JudgeFiles(const JudgeSettings& settings, UpdateFile* const* files, size_t count);

#endif  // UPDATER_LIBUPDATER_FILE_JUDGE_H_
