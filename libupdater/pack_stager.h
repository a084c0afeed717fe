// Staging one pack, the second stage of the update pipeline (pack_board.h):
// the pack is read right behind its fetch, piece by piece, through a
// PackUnpacker into a staged file beside the file's destination; the pack's
// and the file's digests are taken on the way. A file that unpacks and whose
// digest is the document's is sealed (permission bits, written to disk) and
// closed, to be renamed into place when its turn to be installed comes.
// Nothing is renamed here, and a failed file leaves no staged file behind.
//
// The directories the staged file needs are made on the way; which of them
// did not exist is recorded, so that a run that fails can take them away
// again when they stay empty.
//
// Thread-safety: one PackStager per thread; stagers of one update share the
// BaseDir (read-only), the pack directory's descriptor and the board.
#ifndef UPDATER_LIBUPDATER_PACK_STAGER_H_
#define UPDATER_LIBUPDATER_PACK_STAGER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base_dir.h"
#include "pack_board.h"
#include "pack_unpacker.h"

struct StageSetup {
  const BaseDir* base = nullptr;
  int packDir = -1;
  DigestKind digest = DigestKind::kSha256;
  PackBoard* board = nullptr;
};

class PackStager {
 public:
  explicit PackStager(const StageSetup& setup);
  ~PackStager();
  PackStager(const PackStager&) = delete;
  PackStager& operator=(const PackStager&) = delete;

  // Stages `job`, which the caller has claimed (PackBoard::NextToStage),
  // and ends its staging on the board: staged, failed, or cancelled when
  // the fetch failed or the run stops.
  void Stage(PackJob* job);

 private:
  StageFailure Unpack(PackJob* job, int packFd, int outFd);
  bool FeedPiece(int packFd, int outFd, int64_t end, int64_t* offset, bool* stalled);
  bool Restart(PackJob* job, int outFd);
  StageFailure Verify(PackJob* job, bool resumed);
  void StartWriteback(int outFd);

  StageSetup setup_;
  PackUnpacker unpacker_;
  uint8_t* piece_;              // tracked; one piece of the pack at a time
  bool cancelled_ = false;      // the fetch of the pack being staged failed
  uint64_t writebackFrom_ = 0;  // the staged file's bytes not yet sent to disk
};

// Deletes the directories in `dirs` (paths under `base`, deepest first) that
// are empty; the others stay. Links on the way are walked by BaseDir's rules.
void RemoveEmptyDirs(const BaseDir& base, const std::vector<std::string>& dirs);

#endif  // UPDATER_LIBUPDATER_PACK_STAGER_H_
