// The board of the update's packs: state changes under one mutex, waits on
// one condition variable. A write into a pack wakes only stagers waiting for
// that pack, so a fast transfer does not wake every thread for every piece.
#include "pack_board.h"

#include <unistd.h>

#include <chrono>
#include <utility>

PackBoard::PackBoard(std::vector<PackJob> jobs, bool stageAhead)
    : jobs_(std::move(jobs)), stageAhead_(stageAhead) {
  for (PackJob& job : jobs_) job.granted = stageAhead;
}

void PackBoard::FetchStarted(PackJob* job, int64_t written, bool resumed) {
  std::lock_guard<std::mutex> hold(mutex_);
  job->fetch = FetchState::kFetching;
  job->written = written;
  job->resumed = resumed;
  changed_.notify_all();
}

void PackBoard::Written(PackJob* job, int64_t count) {
  std::lock_guard<std::mutex> hold(mutex_);
  job->written += count;
  if (job->waiters > 0) changed_.notify_all();
}

bool PackBoard::StartOver(PackJob* job, int packFd) {
  std::lock_guard<std::mutex> hold(mutex_);
  bool emptied = ftruncate(packFd, 0) == 0 && lseek(packFd, 0, SEEK_SET) == 0;
  job->written = 0;
  job->resumed = false;
  ++job->generation;
  changed_.notify_all();
  return emptied;
}

void PackBoard::FetchEnded(PackJob* job, FetchState state, const std::string& error, bool aborted) {
  std::lock_guard<std::mutex> hold(mutex_);
  job->fetch = state;
  job->fetchError = error;
  job->aborted = aborted;
  job->active = false;
  changed_.notify_all();
}

bool PackBoard::Progress(PackJob* job, int64_t received, int64_t total) {
  std::lock_guard<std::mutex> hold(mutex_);
  job->active = true;
  job->received = received;
  job->total = total;
  return !stopping_;
}

bool PackBoard::Pause(uint32_t milliseconds) {
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait_for(hold, std::chrono::milliseconds(milliseconds), [this] { return stopping_; });
  return !stopping_;
}

void PackBoard::PostLine(const std::string& line) {
  std::lock_guard<std::mutex> hold(mutex_);
  lines_.push_back(line);
  changed_.notify_all();
}

bool PackBoard::Claimable(const PackJob& job) const {
  return job.stage == StageState::kWaiting && job.granted &&
         (job.fetch == FetchState::kFetching || job.fetch == FetchState::kWhole);
}

PackJob* PackBoard::NextToStage() {
  std::unique_lock<std::mutex> hold(mutex_);
  // Each wake-up either finds a job, sees the stop, or waits again for the
  // next change; the pipeline always stops the board at its end.
  for (;;) {
    if (stopping_) return nullptr;
    for (PackJob& job : jobs_) {
      if (Claimable(job)) {
        job.stage = StageState::kStaging;
        return &job;
      }
    }
    changed_.wait(hold);
  }
}

bool PackBoard::Resumed(PackJob* job) {
  std::lock_guard<std::mutex> hold(mutex_);
  return job->resumed;
}

PackWindow PackBoard::WaitForPack(PackJob* job, int64_t offset, uint32_t generation) {
  std::unique_lock<std::mutex> hold(mutex_);
  for (;;) {
    if (stopping_ || job->fetch == FetchState::kFailed) {
      return {PackWindow::kStop, 0, job->generation, false};
    }
    if (job->generation != generation) return {PackWindow::kRestart, 0, job->generation, false};
    if (job->written > offset) return {PackWindow::kBytes, job->written, generation, false};
    if (job->fetch == FetchState::kWhole) {
      return {PackWindow::kEnd, job->written, generation, job->resumed};
    }
    ++job->waiters;
    changed_.wait(hold);
    --job->waiters;
  }
}

void PackBoard::StageEnded(PackJob* job, StageFailure failure, const PathError& error,
                           std::unique_ptr<StagedFile> staged, std::vector<std::string> madeDirs) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (failure != StageFailure::kNone) {
    job->stage = StageState::kFailed;
  } else {
    job->stage = staged != nullptr ? StageState::kStaged : StageState::kCancelled;
  }
  job->failure = failure;
  job->stageError = error;
  job->staged = std::move(staged);
  job->madeDirs = std::move(madeDirs);
  changed_.notify_all();
}

void PackBoard::Stop() {
  std::lock_guard<std::mutex> hold(mutex_);
  stopping_ = true;
  changed_.notify_all();
}

bool PackBoard::Stopping() {
  std::lock_guard<std::mutex> hold(mutex_);
  return stopping_;
}

void PackBoard::Grant(PackJob* job) {
  std::lock_guard<std::mutex> hold(mutex_);
  job->granted = true;
  changed_.notify_all();
}

bool PackBoard::Claim(PackJob* job) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (job->stage != StageState::kWaiting) return false;
  job->stage = StageState::kStaging;
  return true;
}

void PackBoard::WaitStaged(PackJob* job) {
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait(hold, [job] {
    return job->stage != StageState::kWaiting && job->stage != StageState::kStaging;
  });
}

void PackBoard::SetFetchers(int count) {
  std::lock_guard<std::mutex> hold(mutex_);
  fetchers_ = count;
}

void PackBoard::FetcherDone() {
  std::lock_guard<std::mutex> hold(mutex_);
  --fetchers_;
  changed_.notify_all();
}

bool PackBoard::WaitForLines(uint32_t milliseconds, std::vector<std::string>* lines) {
  std::unique_lock<std::mutex> hold(mutex_);
  changed_.wait_for(hold, std::chrono::milliseconds(milliseconds),
                    [this] { return !lines_.empty() || fetchers_ <= 0; });
  lines->insert(lines->end(), lines_.begin(), lines_.end());
  lines_.clear();
  return fetchers_ > 0;
}
