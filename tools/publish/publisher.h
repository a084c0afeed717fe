// Publishing one release: walks the release directory, packs every regular
// file, and writes the packs and the update-info document under an output
// directory laid out as a web server serves it:
//
//   OUTPUT/updates/quillon<line>-<type>-<platform>.info   the document
//   OUTPUT/<PackDir>/<path>.pak                           one pack per file
//
// The document is written last, through a temporary file and a rename, so a
// server already serving OUTPUT never hands out a document whose packs are
// not there yet. A signed document's signature file ("<document>.sig") is
// put in place just before it, holding the signatures of both the new and
// the old document, and is then trimmed to the new ones, so that whichever
// document a client fetches, the signature file served with it verifies. One call at a time per
// output directory; no shared state.
#ifndef UPDATER_TOOLS_PUBLISH_PUBLISHER_H_
#define UPDATER_TOOLS_PUBLISH_PUBLISHER_H_

#include <cstdio>
#include <string>
#include <vector>

#include "description.h"
#include "document.h"
#include "signing.h"

struct PublishOptions {
  std::string releaseDir;               // the files as they are to be installed
  std::string outputDir;                // created when missing
  std::string baseUrl;                  // URL of outputDir; overrides the description's BaseURL
  int generation = 0;                   // 1 or 2 overrides the description; 0 keeps it
  FILE* log = nullptr;                  // one line per packed file and a summary; null: silent
  std::vector<SigningKey> signingKeys;  // each signs the document; none: unsigned
  int64_t serial = -1;                  // the document's serial; -1: the publishing time
  int validDays = 0;                    // above 0: the document expires this many days on
  int64_t now = 0;                      // the publishing time (seconds since 1970); 0: now
};

// Regular files under `dir`, as sorted '/'-separated relative paths.
// Symbolic links and other special files are skipped with a warning to
// `log` (when set). False with `error` set when a directory cannot be read.
bool ListRelease(const std::string& dir, std::vector<std::string>* paths, FILE* log,
                 std::string* error);

// Publishes the release. On failure returns false with `error` set; packs
// written before the failure stay, the document is not written.
bool Publish(const ReleaseDescription& description, const PublishOptions& options,
             std::string* error);

// Creates `path` and every missing directory above it (mode 0755).
bool MakeDirectories(const std::string& path);

#endif  // UPDATER_TOOLS_PUBLISH_PUBLISHER_H_
