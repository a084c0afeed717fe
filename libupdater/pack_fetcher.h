// Fetching one pack into the pack directory, as the first stage of the update
// pipeline (pack_board.h): a pack left whole by an earlier run is taken as it
// is, a partial one is continued with a range request when its resume note
// says it is the same pack, anything else is fetched afresh. The bytes go
// into the pack file as they arrive, and the board learns of each piece, so
// the pack is unpacked right behind the transfer. A transfer that fails for
// a reason that may pass is tried again after a growing pause, continuing
// where it stopped.
//
// What is left of a failed transfer: a pack cut off within the size bound of
// its file stays, with its resume note, for a later run to continue; a pack
// over the bound, or one that nothing can continue, is deleted. A pack gets
// its note when its transfer fails that way, or as soon as it reaches 1 MiB,
// so that a run killed outright leaves its larger packs continuable too
// (each note is a file, and making files is not free).
//
// Thread-safety: a fetch runs on one thread, with that thread's own
// FetchContext and downloader; fetches of different packs may run at once.
// Everything shared goes through the PackBoard.
#ifndef UPDATER_LIBUPDATER_PACK_FETCHER_H_
#define UPDATER_LIBUPDATER_PACK_FETCHER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "download_keepalive.h"
#include "download_nocurl.h"
#include "pack_board.h"
#include "transfer.h"

// The transfer context of one fetching thread, handed to every downloader it
// builds. Each thread has its own.
struct FetchContext {
  int worker = 0;  // the thread's number, from 0
  // The connection kept open from one pack to the next; null: a connection
  // per transfer, as a single fetcher does.
  std::unique_ptr<VdlConnectionCache> connection;
};

// Where a fetch reports: straight to the Updater's callbacks when it runs on
// the Updater's own thread, or to the board for that thread to pass on.
class FetchReporter {
 public:
  // A transfer's progress; false ends the transfer (Callback Abort).
  virtual bool Progress(PackJob* job, int64_t received, int64_t total) = 0;
  // One status line.
  virtual void Line(const std::string& text) = 0;

 protected:
  ~FetchReporter() = default;
};

// What every fetch of one update shares; read-only while fetches run.
struct FetchSetup {
  int packDir = -1;    // the pack directory, open
  bool sha256 = true;  // the document's digest kind (MD5 when false)
  const TransferSettings* transfer = nullptr;
  PackBoard* board = nullptr;
  uint32_t pauseUnitMs = 1000;  // a second of retry pause
};

// Builds the downloader for one transfer of `job`'s pack, on the thread that
// owns `context`. The caller owns the result; null when it cannot be made.
std::unique_ptr<VelmarDownloadNoCurl> MakePackDownload(FetchContext* context,
                                                       const TransferSettings& transfer,
                                                       const PackJob& job,
                                                       VDL_PROGRESS_CALLBACK progress,
                                                       void* userData);

// Fetches the pack of `job` and ends its fetch on the board: kWhole, or
// kFailed with the engine's message ("VDL reports '%s' while downloading
// '%s'", "Error opening %s", or the plan's own error). True when the pack is
// whole.
bool FetchPack(const FetchSetup& setup, FetchContext* context, FetchReporter* reporter,
               PackJob* job);

#endif  // UPDATER_LIBUPDATER_PACK_FETCHER_H_
