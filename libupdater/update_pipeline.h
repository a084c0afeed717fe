// The packs of one update, from their transfer to a verified file waiting
// beside its destination, in stages that overlap: while a pack arrives (or
// the next one does), stager threads unpack what is already there and check
// it (pack_board.h, pack_fetcher.h, pack_stager.h). With one job, the packs
// are fetched on the caller's thread, one after another, and their progress
// goes to onFileProgress exactly as a plain download's would; with several,
// that many fetching threads download at once and the caller's thread sums
// their progress up for onTransfers.
//
// Nothing is renamed into place here: the caller installs each file in list
// order once AwaitStaged says it is ready, so the console shows the phases in
// their usual order however early the work was done.
//
// Thread-safety: an UpdatePipeline belongs to one call of PerformUpdate and
// to its thread, which holds the Updater's lock throughout. The threads it
// starts never call the Updater: they report through the PackBoard, and the
// pipeline's thread passes every line and every progress call on, one at a
// time and in order. Every thread it starts has ended when Download fails
// and when the pipeline is destroyed.
#ifndef UPDATER_LIBUPDATER_UPDATE_PIPELINE_H_
#define UPDATER_LIBUPDATER_UPDATE_PIPELINE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base_dir.h"
#include "pack_board.h"
#include "pack_fetcher.h"
#include "pack_stager.h"

class Updater;

class UpdatePipeline {
 public:
  // `updater` is the Updater whose PerformUpdate runs; `base` its base
  // directory (opened here, and the base made, when it is not open yet).
  // Both must outlive the pipeline.
  UpdatePipeline(Updater* updater, BaseDir* base);
  // Stops and waits for every thread. Files that were not installed lose
  // their staged files, and the directories made for them go when empty.
  ~UpdatePipeline();
  UpdatePipeline(const UpdatePipeline&) = delete;
  UpdatePipeline& operator=(const UpdatePipeline&) = delete;

  // The download phase: sends its lines and progress and fetches the pack
  // of every file to install, staging alongside. False with the Updater's
  // error set to the message of the first file in list order whose fetch
  // failed; nothing is installed then.
  bool Download();
  // The files to install, in list order, after Download.
  std::vector<PackJob>& jobs();
  // Waits until `job` is staged or its staging failed (see PackJob).
  void AwaitStaged(PackJob* job);
  // The pack directory, open after a Download that got past the first file.
  int packDir() const { return packDir_; }

 private:
  void Plan();
  bool OpenPackDir(const PackJob& first);
  void StartStagers();
  bool FetchInTurn();
  bool FetchInParallel();
  void FetchLoop(int worker, size_t* next);
  void ShowTransfers();
  bool DrawTransfers(bool endLine);
  bool FirstFailure();
  void Clean();

  Updater* u;
  BaseDir* base_;
  int packDir_ = -1;
  std::unique_ptr<PackBoard> board_;
  FetchSetup fetchSetup_;
  StageSetup stageSetup_;
  std::vector<std::thread> stagers_;
};

// Test hooks, process-wide; they change when the work is done, never what a
// run prints or does. With `stageAhead` false, each pack is unpacked only at
// its turn to be installed, as a single thread would; `pauseUnitMs` is the
// length of a second of the pause before a transfer is tried again.
void SetPipelineTestHooks(bool stageAhead, uint32_t pauseUnitMs);

#endif  // UPDATER_LIBUPDATER_UPDATE_PIPELINE_H_
