// The update engine: one Updater object holds the settings handed over by the
// front end, the parsed update information (package groups and file entries),
// the downloaded document text, the list of outdated files and the last error
// text. Every operation returns success or failure and leaves its reason in
// the last-error text. The engine never prints: its messages go to the
// caller's UpdaterCallbacks.
//
// Thread-safety: every member is guarded by the Updater's own recursive lock,
// which every public operation holds for its whole duration, callbacks
// included. A callback may therefore call back into the same Updater on its
// own thread; a call from another thread waits until the running operation
// ends. Code that reads the data members directly from another thread must
// hold `lock` itself.
#ifndef UPDATER_LIBUPDATER_UPDATER_H_
#define UPDATER_LIBUPDATER_UPDATER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "ini-reader.h"
#include "locks.h"
#include "sockets3.h"
#include "transfer.h"
#include "trust.h"
#include "update_lock.h"

#ifndef VDL_PROGRESS_CALLBACK_DECLARED
#define VDL_PROGRESS_CALLBACK_DECLARED
// Progress of one transfer: bytes so far, total bytes (0 when unknown), the
// user data given to the downloader. Returning false aborts the transfer.
typedef bool (*VDL_PROGRESS_CALLBACK)(int64_t received, int64_t total, void* userData);
#endif

struct UpdatePlan;
// The pack transfers of an update that downloads several packs at once,
// summed up for one progress line. Everything belongs to the engine and is
// valid only during the call.
struct UpdaterTransfers {
  int32_t filesDone;          // packs downloaded or found already there
  int32_t filesTotal;         // packs the update needs
  int64_t bytesReceived;      // bytes of the packs of the running and ended transfers
  int32_t activeCount;        // transfers running now
  const char* const* active;  // their file names, in list order
  bool endLine;               // the line is finished: end it with a line feed
};

// The caller's table of callbacks; every slot may be null. The table stays the
// caller's and must outlive the Updater (or the next Init). Texts handed to
// onInfo and onStatus belong to the engine and are valid only during the call.
// With one transfer at a time, pack downloads report through onFileProgress;
// with several (TransferSettings::jobs above 1), through onTransfers instead.
struct UpdaterCallbacks {
  VDL_PROGRESS_CALLBACK onProgress;      // transfer of the update-info document
  VDL_PROGRESS_CALLBACK onFileProgress;  // transfer of one pack; user data is its file name
  void (*onInfo)(const char* text);      // one line from the parser
  void (*onStatus)(const char* text);    // one line from the update
  void (*onTransfers)(const UpdaterTransfers* transfers);  // several packs at once
};

// Selection state of a package group, kept as a 32-bit integer.
enum GroupState : int32_t {
  None = 0,     // neither installed nor deleted
  Install = 1,  // out-of-date files are installed
  Remove = 2,   // files belonging only to groups in this state are deleted
};

// One package group, a record of the Updater's doubly linked group list.
struct UpdateGroup {
  std::string name;         // key; matched without regard to case, INI key
  std::string displayName;  // shown to a user; sort key
  std::string menu;
  std::string description;
  GroupState state = None;
  bool isDefaultGroup = false;
  int32_t priority = 50;  // sort key, higher first
  UpdateGroup* prev = nullptr;
  UpdateGroup* next = nullptr;
};

// One installable file, a record of the Updater's doubly linked file list.
struct UpdateFile {
  std::string path;  // relative to the base directory, '/'-separated
  std::string url;   // full URL of the file's pack
  bool needsUpdate = false;
  char fileDigest[65] = {};          // hex digest of the installed file
  char packDigest[65] = {};          // hex digest of the pack; may be empty
  char key[17] = {};                 // RC4 key text of the pack; empty = not enciphered
  int64_t size = 0;                  // length bound of the unpacked file
  uint32_t mode = 0;                 // permission bits to set; 0 leaves them alone
  std::vector<UpdateGroup*> groups;  // owned by the Updater's group list
  std::string tempPath;              // where the downloaded pack is stored
  UpdateFile* prev = nullptr;
  UpdateFile* next = nullptr;

  // True when some group of the file is in state Install.
  bool WantsInstall() const;
  // True when the file has at least one group and every group is Remove.
  bool WantsRemoval() const;
  // True when `group` is among the file's groups.
  bool BelongsTo(const UpdateGroup* group) const;
  // Appends `group` to the file's groups; null adds nothing.
  void AddGroup(UpdateGroup* group);
};

// The document's header. Clear() also deletes the scratch file
// "updater-info.xml" from the working directory.
struct UpdateInfoHeader {
  int32_t infoVersion = 0;  // schema version; below 2 MD5, from 2 on SHA-256
  std::string appName;
  std::string author;
  std::string appUrl;
  std::string fileBase;  // prefix of relative file URLs (version 2 on)

  UpdateInfoHeader() = default;
  ~UpdateInfoHeader() = default;
  void Clear();
};

class Updater {
 public:
  // Everything empty, callbacks null.
  Updater();
  // Reset(), then the members are destroyed.
  virtual ~Updater();
  Updater(const Updater&) = delete;
  Updater& operator=(const Updater&) = delete;

  // Object, errors and callbacks.

  // Reset(), then stores the settings. `baseDir` must end in '/'. Null texts
  // are taken as empty. `callbacks` may be null; it stays the caller's.
  // Always true.
  bool Init(const char* url, const char* baseDir, const char* selfName, const char* iniFile,
            UpdaterCallbacks* callbacks);
  // Frees every group and file, empties infoUrl, baseDir and iniFile, nulls
  // the callbacks, clears both counters, outdatedFiles and the header (which
  // deletes "updater-info.xml"). infoText, lastError and selfName stay.
  void Reset();
  // The last error text ("" when none was set). Valid until the next error
  // is set or the Updater is destroyed.
  const char* GetLastError();
  // Formats printf-style and replaces the last error text.
  void SetError(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Formats printf-style and hands the line to onInfo / onStatus when the
  // table and the slot are set; otherwise does nothing.
  void Info(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void Status(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Model access. The records belong to the Updater and live until Reset.
  UpdateGroup* GetFirstGroup();
  UpdateFile* GetFirstFile();
  // The first group in list order whose name equals `name` without regard
  // to case, or null.
  UpdateGroup* FindGroup(const char* name);

  // Reads the whole file at `path` into infoText. Fails with "Error opening
  // %s!" or "Error reading %s!" (an empty file included).
  bool LoadInfoFile(const char* path);
  // Writes infoText to `path`; reports nothing.
  void SaveInfoFile(const char* path);

  // Takes an exclusive lock on the base directory, held until the Updater
  // is destroyed (or this is called again), so that a second updater on the
  // same base directory stops before it touches anything. Call it after
  // Init and before DownloadInfo; a missing base directory is made first
  // (in a dry run it is neither made nor locked).
  // Fails with "Another update is already running in %s" (the base
  // directory) or "Error opening base directory %s (%s)".
  bool LockBaseDir();

  // Fetches the update-info document from infoUrl into infoText. With a
  // trusted key, also fetches "<infoUrl>.sig" and takes the document only
  // when a line of it verifies (see trust.h); otherwise fails with the
  // reason and leaves infoText as it was.
  bool DownloadInfo();
  // Turns infoText into the sorted group list and the file list, judges each
  // listed file by the digest of the installed copy, counts the pending work
  // and collects existing outdated files. Adds to the lists; call Init or
  // Reset before parsing again. On failure the last error says why.
  bool ParseInfo();

  // Groups and pending work.

  // Sets the group's state (when `group` is not null), then recounts
  // pendingCount over all files.
  void SetGroupState(UpdateGroup* group, GroupState state);
  // Sets every group to `state` and recounts once: the same result as
  // SetGroupState on each group in turn, without a recount per group.
  void SetAllGroupStates(GroupState state);
  // True when pendingCount is above 0 or outdatedFiles is not empty.
  bool HasWork();
  // True when `file` is to be installed: it needs an update and has no
  // groups or a group in state Install.
  bool IsToInstall(const UpdateFile* file);
  // True when `file` is to be deleted as marked: all its groups (at least
  // one) are Remove and a file exists at baseDir + path.
  bool IsMarkedForDeletion(const UpdateFile* file);

  // Brings the installation in line with the parsed information. Fails
  // with "Nothing is changed in a dry run" in dry-run mode.
  bool PerformUpdate();

  // Dry run (plan.h).

  // With `on`, the Updater changes nothing on disk but the scratch document,
  // which DownloadInfo makes and deletes as always: the serial of a signed
  // document is checked but not kept, the parser leaves staged leftovers
  // alone, LockBaseDir makes no missing base directory (and goes on without
  // a lock, as there is nothing to guard), SaveState writes nothing and
  // PerformUpdate refuses. Init and Reset keep the setting.
  void SetDryRun(bool on);
  // Fills `plan` (owned by the caller, replaced whole) with what
  // PerformUpdate would do now, from the parsed model and the group states;
  // reads the pack directory, without following a link to it, to see which
  // packs are already there. Changes nothing. False with the error set when
  // memory runs out.
  bool PlanUpdate(UpdatePlan* plan);

  // Judgement of installed files.

  // When set (as it is from construction on), ParseInfo deletes the staged
  // file that an interrupted run may have left beside each listed file
  // ("<name>.updater-part") before judging the file. A run that must change
  // nothing on disk clears it. Init and Reset keep it.
  bool removeLeftovers = true;

  // Trust.

  // Adds a key that update-info documents must be signed by. With at least
  // one key, DownloadInfo verifies the document's signature and ParseInfo
  // checks what the document says about itself (generation, name, serial,
  // expiry) and keeps its serial in iniFile; see trust.h. Keys stay for the
  // Updater's life: Init and Reset keep them.
  void AddTrustedKey(const TrustKey& key);
  // Replaces the settings every later transfer uses (see transfer.h). They
  // stay for the Updater's life: Init and Reset keep them.
  void SetTransferSettings(const TransferSettings& settings);

  // Local state.

  // Writes every group's state to section "groups" of iniFile, in list
  // order; writes nothing when iniFile is empty. Always true.
  bool SaveState();
  // Creates every missing directory along `path` (mode 0755). Never fails by
  // itself; a path of 1024 characters or more is left alone.
  void MakeDirs(const char* path);

  // Turns the pack at `source` into the file at `destination` (the two may be
  // one path): deciphers it with `key` when the key text is not empty and
  // inflates it into at most `size` bytes, reading the pack in pieces. Fails
  // with the reason set; after a bad pack the destination is left empty, or,
  // when it is the source, the pack is left as it was.
  bool UnpackFile(const char* source, const char* destination, const char* key, uint32_t size);

  // Joins baseDir and `relative` into `out` (1024 bytes). False when the
  // result would not fit; `out` then holds an empty text.
  bool JoinBase(char* out, const char* relative);

  // Data, in this order; guarded by `lock`.
  UpdateFile* files;
  UpdateGroup* groups;
  std::vector<std::string> outdatedFiles;
  UpdateFile* filesTail;
  UpdateGroup* groupsTail;
  UpdateGroup* defaultGroup;
  int32_t fileCount;
  int32_t pendingCount;
  UpdateInfoHeader header;
  std::string infoText;
  std::string lastError;
  std::string infoUrl;
  std::string baseDir;
  std::string iniFile;
  std::string selfName;
  UpdaterCallbacks* callbacks;
  UpdaterTrust trust;
  TransferSettings transfer;
  bool dryRun = false;
  // Unused by the engine; its construction initialises the TLS library.
  Velmar_Sockets3 sockets;
  RecursiveMutex lock;

 private:
  // Tracked allocation of records and the list plumbing of ParseInfo.
  UpdateGroup* NewGroup();
  UpdateFile* NewFile();
  void AppendGroup(UpdateGroup* group);
  void AppendFile(UpdateFile* file);
  // Sorts the group list into display order and relinks it.
  void SortGroups();
  // The recount behind SetGroupState and the parser.
  int32_t CountPending(const UpdateFile* file);
  // Replaces a group's state by the one stored in iniFile. False when the
  // file is there but cannot be read whole; the state is then unchanged.
  bool ReadGroupState(UpdateGroup* group);

  // While one lives, ReadGroupState looks groups up in one reading of the
  // "groups" section of iniFile instead of reading the file for each group.
  // One made while another lives adds nothing.
  class StoredStates {
   public:
    explicit StoredStates(Updater* updater);
    ~StoredStates();
    StoredStates(const StoredStates&) = delete;
    StoredStates& operator=(const StoredStates&) = delete;

   private:
    Updater* updater;
    bool reader;  // this one read the section and releases it
  };
  IniSection storedStates = {};
  bool storedStatesRead = false;
  bool storedStatesBroken = false;  // the file is there but unreadable
  // The signature check of DownloadInfo: true when `signatures` (the
  // signature file's text) holds a valid signature of `document` by a
  // trusted key; remembers which text verified.
  bool AcceptSignatures(const std::string& document, const std::string& signatures);
  // The check the parser makes right after reading "info": with trusted
  // keys, infoText must be the text that verified and its claims must hold;
  // the serial is then kept. Without trusted keys, always true.
  bool AcceptInfo(const TrustClaims& claims);
  // Keeps `serial` for `document` in iniFile unless it is the `kept` text
  // already. The only write the trust checks make.
  bool StoreSerial(const char* document, uint64_t serial, const char* kept);

  // Held from LockBaseDir until the Updater is destroyed.
  UpdateLock baseLock;

  friend class ParseInfoBuilder;
};

#endif  // UPDATER_LIBUPDATER_UPDATER_H_
