#define MEMLEAK_SOURCE "libupdater"
// The update pipeline: plans the packs, runs the stagers and the fetches, and
// passes what the threads report on to the Updater's callbacks.
#include "update_pipeline.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <system_error>

#include "GenLib.h"
#include "pack_names.h"
#include "updater.h"

namespace {

std::atomic<bool> g_stageAhead{true};
std::atomic<uint32_t> g_pauseUnitMs{1000};

// The aggregate progress line is redrawn at most this often.
constexpr uint32_t kRedrawMs = 100;
// Two stagers a core, so that while some wait for the disk to take a
// staged file the others keep the cores busy; more would only compete for
// the same disk.
constexpr unsigned kMaxStagers = 8;

// A fetch on the Updater's own thread reports straight to its callbacks.
class DirectReporter : public FetchReporter {
 public:
  explicit DirectReporter(Updater* updater) : u(updater) {}
  bool Progress(PackJob* job, int64_t received, int64_t total) override {
    VDL_PROGRESS_CALLBACK progress =
        u->callbacks != nullptr ? u->callbacks->onFileProgress : nullptr;
    return progress == nullptr || progress(received, total, const_cast<char*>(job->name.c_str()));
  }
  void Line(const std::string& text) override { u->Status("%s", text.c_str()); }

 private:
  Updater* u;
};

// A fetch on a thread of its own reports to the board.
class BoardReporter : public FetchReporter {
 public:
  explicit BoardReporter(PackBoard* board) : board_(board) {}
  bool Progress(PackJob* job, int64_t received, int64_t total) override {
    return board_->Progress(job, received, total);
  }
  void Line(const std::string& text) override { board_->PostLine(text); }

 private:
  PackBoard* board_;
};

}  // namespace

void SetPipelineTestHooks(bool stageAhead, uint32_t pauseUnitMs) {
  g_stageAhead = stageAhead;
  g_pauseUnitMs = pauseUnitMs;
}

UpdatePipeline::UpdatePipeline(Updater* updater, BaseDir* base) : u(updater), base_(base) {}

UpdatePipeline::~UpdatePipeline() { Clean(); }

std::vector<PackJob>& UpdatePipeline::jobs() { return board_->jobs(); }

// Names every file's pack; the checks that need no disk are made here, and
// fail at the file's turn.
void UpdatePipeline::Plan() {
  PackNames names(u->files);
  std::vector<PackJob> jobs;
  for (UpdateFile* file = u->files; file != nullptr; file = file->next) {
    if (!u->IsToInstall(file)) continue;
    PackJob job;
    job.file = file;
    job.pack = names.For(file);
    job.name = GetFileName(file->path.c_str());
    job.bound = PackSizeBound(file->size);
    char path[1024];
    if (snprintf(path, sizeof(path), "%s%s/%s", u->baseDir.c_str(), kPackDirectory,
                 job.pack.c_str()) >= static_cast<int>(sizeof(path))) {
      job.planError = "Pack path for " + file->path + " is too long";
    } else if (job.pack.empty() || job.pack == "." || job.pack == "..") {
      // A URL ending in "/", "/." or "/.." names no file.
      job.planError = std::string("Error opening ") + path;
    } else {
      job.packPath = path;
      file->tempPath = path;
    }
    jobs.push_back(std::move(job));
  }
  board_.reset(new PackBoard(std::move(jobs), g_stageAhead));
}

bool UpdatePipeline::Download() {
  Plan();
  std::vector<PackJob>& all = board_->jobs();
  if (all.empty()) return true;
  u->Status("*** Downloading Updated Files ***");
  u->Status("%s", "");
  if (!all[0].planError.empty()) {
    u->SetError("%s", all[0].planError.c_str());
    return false;
  }
  if (!OpenPackDir(all[0])) return false;
  fetchSetup_.packDir = packDir_;
  fetchSetup_.sha256 = u->header.infoVersion >= 2;
  fetchSetup_.transfer = &u->transfer;
  fetchSetup_.board = board_.get();
  fetchSetup_.pauseUnitMs = g_pauseUnitMs;
  stageSetup_.base = base_;
  stageSetup_.packDir = packDir_;
  stageSetup_.digest = DigestKindFor(u->header.infoVersion);
  stageSetup_.board = board_.get();
  StartStagers();
  bool fetched = u->transfer.jobs > 1 ? FetchInParallel() : FetchInTurn();
  if (!fetched) Clean();
  return fetched;
}

// Opens (and makes) the pack directory. Neither "tmp" nor "tmp/updater" may
// be a link: packs are written there before they are verified.
bool UpdatePipeline::OpenPackDir(const PackJob& first) {
  PathError error;
  if (!base_->IsOpen()) {
    u->MakeDirs(u->baseDir.c_str());
    base_->Open(u->baseDir, &error);
  }
  if (base_->IsOpen()) packDir_ = base_->OpenDir(kPackDirectory, LinkRule::kNone, true, &error);
  if (packDir_ >= 0) return true;
  if (error.refused) {
    u->SetError("%s", error.text.c_str());
  } else {
    u->SetError("Error opening %s", first.packPath.c_str());
  }
  return false;
}

void UpdatePipeline::StartStagers() {
  unsigned count = std::max(2u, std::min(2 * std::thread::hardware_concurrency(), kMaxStagers));
  count = std::min<unsigned>(count, static_cast<unsigned>(board_->jobs().size()));
  for (unsigned i = 0; i < count; ++i) {
    try {
      stagers_.emplace_back([this] {
        pthread_setname_np(pthread_self(), "updater-stage");
        PackStager stager(stageSetup_);
        while (PackJob* job = board_->NextToStage()) stager.Stage(job);
      });
    } catch (const std::system_error&) {
      break;  // AwaitStaged stages on the caller's thread when none runs
    }
  }
}

bool UpdatePipeline::FetchInTurn() {
  DirectReporter reporter(u);
  FetchContext context;
  for (PackJob& job : board_->jobs()) {
    if (!FetchPack(fetchSetup_, &context, &reporter, &job)) {
      u->SetError("%s", job.fetchError.c_str());
      return false;
    }
  }
  return true;
}

bool UpdatePipeline::FetchInParallel() {
  const size_t workers =
      std::min<size_t>(static_cast<size_t>(u->transfer.jobs), board_->jobs().size());
  std::vector<std::thread> fetchers;
  std::atomic<size_t> next{0};
  board_->SetFetchers(static_cast<int>(workers));
  for (size_t i = 0; i < workers; ++i) {
    try {
      fetchers.emplace_back([this, i, &next] {
        pthread_setname_np(pthread_self(), "updater-fetch");
        FetchContext context;
        context.worker = static_cast<int>(i);
        // Many packs from one server: each fetcher keeps its connection.
        context.connection.reset(new (std::nothrow) VdlConnectionCache());
        BoardReporter reporter(board_.get());
        // Each round takes the next pack in list order; the first failure
        // stops the others' transfers.
        for (size_t at; (at = next++) < board_->jobs().size() && !board_->Stopping();) {
          if (!FetchPack(fetchSetup_, &context, &reporter, &board_->jobs()[at])) board_->Stop();
        }
        board_->FetcherDone();
      });
    } catch (const std::system_error&) {
      board_->FetcherDone();
    }
  }
  if (fetchers.empty()) return FetchInTurn();
  ShowTransfers();
  for (std::thread& fetcher : fetchers) fetcher.join();
  return FirstFailure();
}

// Passes the fetchers' lines on and redraws the summed-up progress until
// every fetcher has ended. A line ends the progress line first.
void UpdatePipeline::ShowTransfers() {
  bool drawn = false;
  std::vector<std::string> lines;
  // Each round waits at most kRedrawMs; the fetchers end by themselves.
  for (bool running = true; running;) {
    running = board_->WaitForLines(kRedrawMs, &lines);
    for (const std::string& line : lines) {
      if (drawn) drawn = !DrawTransfers(true);
      u->Status("%s", line.c_str());
    }
    lines.clear();
    drawn = DrawTransfers(false) || drawn;
  }
  if (drawn) DrawTransfers(true);
}

// Draws the progress line once a transfer has begun; true when it drew.
bool UpdatePipeline::DrawTransfers(bool endLine) {
  UpdaterTransfers transfers = {};
  std::vector<const char*> active;
  bool begun = false;
  board_->Inspect([&](std::vector<PackJob>& jobs) {
    transfers.filesTotal = static_cast<int32_t>(jobs.size());
    for (const PackJob& job : jobs) {
      if (job.fetch == FetchState::kWhole) ++transfers.filesDone;
      if (job.active) active.push_back(job.name.c_str());
      transfers.bytesReceived += job.received;
      begun = begun || job.received > 0 || job.active;
    }
  });
  if (!begun && !endLine) return false;
  transfers.activeCount = static_cast<int32_t>(active.size());
  transfers.active = active.data();
  transfers.endLine = endLine;
  if (u->callbacks != nullptr && u->callbacks->onTransfers != nullptr) {
    u->callbacks->onTransfers(&transfers);
  }
  return true;
}

// After the fetchers: the message of the first file in list order whose
// fetch failed (the others were stopped because of it).
bool UpdatePipeline::FirstFailure() {
  for (PackJob& job : board_->jobs()) {
    if (job.fetch == FetchState::kWhole) continue;
    if (job.fetch == FetchState::kFailed && !job.aborted) {
      u->SetError("%s", job.fetchError.c_str());
      return false;
    }
  }
  for (PackJob& job : board_->jobs()) {
    if (job.fetch != FetchState::kWhole) {
      u->SetError("VDL reports '%s' while downloading '%s'", vdl_error_text(VDL_ERR_CALLBACK_ABORT),
                  job.file->path.c_str());
      return false;
    }
  }
  return true;
}

void UpdatePipeline::AwaitStaged(PackJob* job) {
  board_->Grant(job);
  if (stagers_.empty() && board_->Claim(job)) {
    PackStager stager(stageSetup_);
    stager.Stage(job);
  }
  board_->WaitStaged(job);
}

// Ends every thread, then takes away what the files that were not installed
// left: their staged files, and the directories made for them when empty.
void UpdatePipeline::Clean() {
  if (board_ != nullptr) board_->Stop();
  for (std::thread& stager : stagers_) stager.join();
  stagers_.clear();
  std::vector<std::string> dirs;
  if (board_ != nullptr) {
    for (PackJob& job : board_->jobs()) {
      if (job.installed) continue;
      if (job.stage == StageState::kStaged && base_->IsOpen())
        base_->RemoveLeftover(job.file->path);
      job.staged.reset();
      dirs.insert(dirs.end(), job.madeDirs.begin(), job.madeDirs.end());
      job.madeDirs.clear();
    }
  }
  // Deeper directories first, each once.
  std::sort(dirs.begin(), dirs.end(), [](const std::string& a, const std::string& b) {
    size_t depthA = std::count(a.begin(), a.end(), '/'),
           depthB = std::count(b.begin(), b.end(), '/');
    return depthA != depthB ? depthA > depthB : a < b;
  });
  dirs.erase(std::unique(dirs.begin(), dirs.end()), dirs.end());
  if (base_->IsOpen()) RemoveEmptyDirs(*base_, dirs);
  if (packDir_ >= 0) close(packDir_);
  packDir_ = -1;
}
