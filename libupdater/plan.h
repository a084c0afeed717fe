// The dry run: what an update would do, computed from the parsed model
// without changing anything. An Updater in dry-run mode (SetDryRun) changes
// nothing on disk apart from the scratch document, which DownloadInfo makes
// and deletes as in every run; PlanUpdate then lists the files to install,
// with their sizes and whether their packs are already in the pack
// directory, and the files to delete. `updater --check` prints the plan.
//
// Thread-safety: an UpdatePlan is a plain record owned by its caller; the
// Updater fills it under its own lock.
#ifndef UPDATER_LIBUPDATER_PLAN_H_
#define UPDATER_LIBUPDATER_PLAN_H_

#include <cstdint>
#include <string>
#include <vector>

// One file an update would install.
struct PlannedInstall {
  std::string path;  // relative to the base directory
  int64_t size;      // of the installed file, as the document gives it
  // A pack with the document's digest is already in the pack directory, so
  // the update would install it without downloading it.
  bool packPresent;
};

struct UpdatePlan {
  std::vector<PlannedInstall> installs;  // in the order the update installs them
  std::vector<std::string> removals;     // existing files whose groups are all Remove
  std::vector<std::string> outdated;     // existing files the document lists as outdated
  int64_t installBytes = 0;              // the sizes of all installs
  int64_t downloadBytes = 0;             // the sizes of the installs whose packs are not present
  int32_t downloads = 0;                 // installs whose packs are not present

  // True when the update would change nothing.
  bool Empty() const { return installs.empty() && removals.empty() && outdated.empty(); }
};

#endif  // UPDATER_LIBUPDATER_PLAN_H_
