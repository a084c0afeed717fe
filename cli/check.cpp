// The report of `updater --check`. Each file gets one line that begins with
// "Install: " or "Delete: " and ends with a note in parentheses, so that the
// path is what lies between; control characters in a path are written as
// \xHH, so that a path can never break its line.
#include "check.h"

#include <cinttypes>
#include <string>

#include "plan.h"
#include "updater.h"

namespace {

std::string Shown(const std::string& path) {
  std::string shown;
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f) {
      char escape[5];
      snprintf(escape, sizeof(escape), "\\x%02x", c);
      shown += escape;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown;
}

int PrintPlan(const UpdatePlan& plan, FILE* out) {
  if (plan.Empty()) {
    fprintf(out, "\nUp to date: nothing to install or delete\n");
    return 0;
  }
  fprintf(out, "\n");
  for (const PlannedInstall& install : plan.installs) {
    fprintf(out, "Install: %s (%" PRId64 " bytes%s)\n", Shown(install.path).c_str(), install.size,
            install.packPresent ? ", pack already downloaded" : "");
  }
  for (const std::string& path : plan.removals) {
    fprintf(out, "Delete: %s (group marked for removal)\n", Shown(path).c_str());
  }
  for (const std::string& path : plan.outdated) {
    fprintf(out, "Delete: %s (outdated)\n", Shown(path).c_str());
  }
  fprintf(out,
          "\nUpdate pending: files to install: %zu (%" PRId64 " bytes), packs to download: %" PRId32
          " (%" PRId64 " bytes unpacked), files to delete: %zu\n",
          plan.installs.size(), plan.installBytes, plan.downloads, plan.downloadBytes,
          plan.removals.size() + plan.outdated.size());
  return kUpdatePending;
}

}  // namespace

int RunCheck(Updater* updater, FILE* out) {
  UpdatePlan plan;
  if (!updater->PlanUpdate(&plan)) {
    fprintf(out, "\nError checking for updates: %s\n", updater->GetLastError());
    return 1;
  }
  return PrintPlan(plan, out);
}
