// The packs of one update on their way to the installation, and the one
// place where the update's threads meet. Each file to install has a PackJob:
// the plan made before anything starts (the pack's name and bound), how far
// its fetch has come (the pack grows in the pack directory, `written` bytes
// from its start), and what staging made of it (a verified file sealed and
// closed beside its destination, or the reason it failed).
//
// Fetching and staging run at the same time: a stager reads the pack right
// behind the fetch, so a pack is unpacked while it arrives and while the next
// one downloads. When a pack starts over (a server that ignores a range),
// its generation changes and the stager starts over too.
//
// Thread-safety: the plan fields of a PackJob are written before any thread
// starts and only read afterwards; every other field is guarded by the
// board's mutex and is touched only through the board's methods (or by the
// pipeline's own thread after every other thread has ended). The board
// itself is used by any number of threads.
#ifndef UPDATER_LIBUPDATER_PACK_BOARD_H_
#define UPDATER_LIBUPDATER_PACK_BOARD_H_

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base_dir.h"

struct UpdateFile;

enum class FetchState {
  kWaiting,   // not started
  kFetching,  // the pack file is there and grows
  kWhole,     // the pack is complete: downloaded, or found from an earlier run
  kFailed,    // the transfer failed or was stopped (see `aborted`)
};

enum class StageState {
  kWaiting,    // not started
  kStaging,    // a stager works on it
  kStaged,     // unpacked, verified, sealed and closed beside its destination
  kFailed,     // see `failure`
  kCancelled,  // the run ends without it
};

// Why staging failed; the file's turn to be installed reports it.
enum class StageFailure {
  kNone,
  kCreate,    // the staged file could not be made (`stageError`)
  kUnpack,    // the pack does not unpack
  kChecksum,  // the unpacked file's digest is wrong
  kSeal,      // the staged file could not be written to disk (`stageError`)
};

struct PackJob {
  // The plan, fixed before any thread starts.
  UpdateFile* file = nullptr;
  std::string pack;       // name in the pack directory
  std::string packPath;   // its full path, for messages
  std::string name;       // file-name part of the file's path, for progress
  std::string planError;  // not empty: no pack can be fetched; the message
  int64_t bound = 0;      // the most a pack of this file can hold

  // Guarded by the board's mutex.
  FetchState fetch = FetchState::kWaiting;
  int64_t written = 0;      // bytes of the pack on disk, from its start
  uint32_t generation = 0;  // changes whenever the pack starts over
  bool resumed = false;     // the pack continues an earlier transfer's bytes
  bool aborted = false;     // kFailed because the run stopped it
  std::string fetchError;   // kFailed otherwise: the engine's message
  bool active = false;      // a transfer runs now
  int64_t received = 0;     // that transfer's progress
  int64_t total = 0;
  int waiters = 0;       // stagers waiting for more of the pack
  bool granted = false;  // may be staged now
  StageState stage = StageState::kWaiting;
  StageFailure failure = StageFailure::kNone;
  PathError stageError;
  std::unique_ptr<StagedFile> staged;  // kStaged: closed, waiting for its turn;
                                       // kFailed: kept for the message
  std::vector<std::string> madeDirs;   // directories made for it, deepest first

  // Touched by the pipeline's own thread only.
  bool installed = false;
};

// What a stager may read of a pack.
struct PackWindow {
  enum Kind {
    kBytes,    // `end` bytes are there; read up to it
    kEnd,      // the pack is whole and `end` long, all of it seen
    kRestart,  // the pack started over as `generation`
    kStop,     // the fetch failed or the run stops
  } kind;
  int64_t end;
  uint32_t generation;
  bool resumed;  // kEnd: part of the pack came from an earlier transfer
};

class PackBoard {
 public:
  // With `stageAhead` false, a pack is staged only once Grant was called for
  // it, i.e. when its turn to be installed comes.
  PackBoard(std::vector<PackJob> jobs, bool stageAhead);
  PackBoard(const PackBoard&) = delete;
  PackBoard& operator=(const PackBoard&) = delete;

  std::vector<PackJob>& jobs() { return jobs_; }

  // ---- the fetch side ----
  // The pack file is there with `written` bytes (the part of an earlier
  // transfer that is continued, else 0); stagers may start on it.
  void FetchStarted(PackJob* job, int64_t written, bool resumed);
  // `count` more bytes are in the pack file.
  void Written(PackJob* job, int64_t count);
  // Empties the pack file `packFd` and starts a new generation, both under
  // the lock so that no stager takes the old bytes for the new. False when
  // the file cannot be emptied.
  bool StartOver(PackJob* job, int packFd);
  void FetchEnded(PackJob* job, FetchState state, const std::string& error, bool aborted);
  // Records a transfer's progress; false once the run stops, which ends
  // the transfer.
  bool Progress(PackJob* job, int64_t received, int64_t total);
  // Waits `milliseconds`; false, at once, when the run stops meanwhile.
  bool Pause(uint32_t milliseconds);
  // A status line for the pipeline's thread to pass on.
  void PostLine(const std::string& line);
  // How many fetching threads run; each calls FetcherDone as it ends.
  void SetFetchers(int count);
  void FetcherDone();

  // ---- the stage side ----
  // The next pack to stage, in list order, once there is one (its fetch has
  // started, and it is granted); null when the run stops.
  PackJob* NextToStage();
  // True when the pack of `job` continues an earlier transfer's bytes.
  bool Resumed(PackJob* job);
  // Waits until the pack of `job` holds more than `offset` bytes of
  // `generation`, is whole, starts over, or the run stops.
  PackWindow WaitForPack(PackJob* job, int64_t offset, uint32_t generation);
  void StageEnded(PackJob* job, StageFailure failure, const PathError& error,
                  std::unique_ptr<StagedFile> staged, std::vector<std::string> madeDirs);

  // ---- the pipeline's side ----
  // Makes every transfer and every staging stop soon; waits and pauses end.
  void Stop();
  bool Stopping();
  void Grant(PackJob* job);
  // Claims `job` for staging on the calling thread; false when it is not
  // waiting to be staged.
  bool Claim(PackJob* job);
  // Waits until staging of `job` has ended.
  void WaitStaged(PackJob* job);
  // Waits until a status line is posted, every fetching thread has ended,
  // or `milliseconds` pass; moves the posted lines into `lines`. True while
  // a fetching thread runs.
  bool WaitForLines(uint32_t milliseconds, std::vector<std::string>* lines);
  // Runs `look` with the lock held, to read a consistent picture.
  template <typename Look>
  void Inspect(Look look) {
    std::lock_guard<std::mutex> hold(mutex_);
    look(jobs_);
  }

 private:
  bool Claimable(const PackJob& job) const;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<PackJob> jobs_;
  bool stageAhead_;
  bool stopping_ = false;
  int fetchers_ = 0;
  std::vector<std::string> lines_;
};

#endif  // UPDATER_LIBUPDATER_PACK_BOARD_H_
