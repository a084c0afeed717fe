// The settings every transfer of one run shares (minimum rate, trusted
// authorities, retries) and the one place that applies them to a downloader.
// The document, its signature file and every pack are fetched through
// ConfigureDownload, so a setting given on the command line reaches them all.
//
// Thread-safety: the functions keep no state; a TransferSettings record is
// read-only while transfers run, so worker threads may share it.
#ifndef UPDATER_LIBUPDATER_TRANSFER_H_
#define UPDATER_LIBUPDATER_TRANSFER_H_

#include <cstdint>
#include <string>

class VelmarDownloadNoCurl;

struct TransferSettings {
  // A transfer that stays below minRate bytes a second for a whole window of
  // rateWindow seconds fails as timed out; 0 in either turns the check off.
  uint32_t minRate = 1024;
  uint32_t rateWindow = 60;
  // PEM file of the authorities trusted for https; empty: the system's.
  std::string caFile;
  // How many times a transfer that failed for a reason that may pass is
  // tried again; 0 (the default) tries once.
  int retries = 0;
  // How many packs are downloaded at once, each over its own connection.
  int jobs = 1;
};

// Applies `settings` to a downloader just built for one transfer, with
// `maxSize` as the most the body may hold (0: no limit).
void ConfigureDownload(const TransferSettings& settings, int64_t maxSize,
                       VelmarDownloadNoCurl* download);

// True when a failed transfer may succeed if tried again: the connection was
// refused, reset, closed before the whole answer came, or timed out, or the
// server answered 5xx. A 404, a body over the size bound, a bad document or
// a digest mismatch will not pass.
bool IsTransient(VelmarDownloadNoCurl* download);

// The pause before try `attempt` (1 for the first retry): 1, 2, 4 ... seconds,
// at most 64.
uint32_t RetryPauseSeconds(int attempt);

// The status line announcing that the transfer of `name` failed for `reason`
// and is tried again in `seconds`, as retry `attempt` of `retries`.
std::string RetryLine(const char* name, const char* reason, uint32_t seconds, int attempt,
                      int retries);

#endif  // UPDATER_LIBUPDATER_TRANSFER_H_
