// The settings every transfer of one run shares (minimum rate, trusted
// authorities, retries) and the one place that applies them to a downloader,
// the size bounds of what the engine fetches, which failures are worth
// another try, and the texts that describe a failed transfer. The document,
// its signature file and every pack are fetched through ConfigureDownload,
// so a setting given on the command line reaches them all.
//
// Thread-safety: the functions keep no state; a TransferSettings record is
// read-only while transfers run, so worker threads may share it. Every
// function here takes the downloader of one transfer, used by one thread.
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
  // Spends the pause before a retry, in seconds; null: sleeps. Tests record
  // the pauses instead of waiting them out.
  void (*pause)(uint32_t seconds) = nullptr;
};

// The most the update-info document may hold; it is read whole into memory.
constexpr int64_t kMaxInfoSize = 64 * 1024 * 1024;

// The most a pack of a file of `size` bytes can hold: zlib's bound for
// compressing that many bytes (RC4 keeps the length). 0 for a negative size.
int64_t PackSizeBound(int64_t size);

// Applies `settings` to a downloader just built for one transfer (the
// minimum rate, the CA file), with `maxSize` as the most the body may hold
// (0: no limit). A CA file name too long for the downloader leaves its
// error code set, so the transfer fails at once.
void ConfigureDownload(const TransferSettings& settings, int64_t maxSize,
                       VelmarDownloadNoCurl* download);

// True when a failed transfer may succeed if tried again: the connection was
// refused, reset, closed early or timed out (also a TLS handshake that timed
// out), or the server answered 5xx. A 404, a bad document, a refused
// certificate, a size limit or a digest mismatch will not pass.
bool IsTransient(VelmarDownloadNoCurl* download);

// The pause before try `attempt` (1 for the first retry): 1, 2, 4 ... seconds,
// at most 64.
uint32_t RetryPauseSeconds(int attempt);

// Spends the pause before try `attempt` as `settings` says.
void PauseBeforeRetry(const TransferSettings& settings, int attempt);

// The downloader's failure as the engine reports it after "VDL reports ":
// its error text, followed by its detail in parentheses for the failures
// whose code alone does not say what happened (a size limit, the minimum
// rate, TLS, a refused https redirect), e.g. "Error Connecting to Host
// (Certificate verification failed: certificate has expired)".
std::string TransferFailureText(VelmarDownloadNoCurl* download);

// The engine's error for a failed pack transfer of the file at `path`
// (`size` bytes unpacked): "Pack of %s is larger than %lld bytes, the most a
// file of %lld bytes packs into" when the pack passed its bound, else
// "VDL reports '%s' while downloading '%s'" with TransferFailureText.
std::string PackFailureText(VelmarDownloadNoCurl* download, const std::string& path, int64_t size);

// The line sent before try `attempt` of `retries` of the transfer of `what`
// (a URL or a path): "Transfer of %s failed (%s), trying again in %u s (%d of
// %d)", the reason being the error text and the detail.
std::string RetryNotice(const std::string& what, VelmarDownloadNoCurl* download, int attempt,
                        int retries);

#endif  // UPDATER_LIBUPDATER_TRANSFER_H_
