// Command-line options of the updater: the settings of one run, their
// defaults, the option parser and the usage text.
//
// The settings are plain fixed-size texts. The parser uses getopt_long, whose
// state is process-wide, so it is meant to run once per process on the main
// thread (a test may reset `optind` to 0 before calling it again).
#ifndef UPDATER_CLI_OPTIONS_H_
#define UPDATER_CLI_OPTIONS_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "trust.h"

// Host of the vendor's update server, replaced by --server.
extern const char kDefaultServer[];
// Platform used when none is given, or an empty one.
extern const char kDefaultPlatform[];

// Most --trust-key options one run takes.
constexpr size_t kMaxTrustKeys = 16;
// Bounds of --jobs, --retries, --speed-limit and --speed-time.
constexpr int kMaxJobs = 32;
constexpr int kMaxRetries = 10;
constexpr int kMaxSpeedLimit = 1 << 30;  // bytes a second
constexpr int kMaxSpeedTime = 86400;     // seconds

struct CliSettings {
  char productLine[4];   // "5", "4" or "" (-3)
  char installType[16];  // "full" or "basic"
  char platform[32];     // at most 31 characters; empty means the default
  char baseDir[1024];    // at most 1023 characters; ends in '/' after FinishSettings
  char server[128];      // HOST or HOST:PORT of the update server
  bool secure;           // --server https://...: the document comes over HTTPS
  bool markAll;          // -a: mark every group for installation

  // --trust-key, each file read when its option is parsed.
  TrustKey trustKeys[kMaxTrustKeys];
  uint32_t trustKeyCount;

  int jobs;     // --jobs: packs downloaded at once, 1 to kMaxJobs (default 1)
  int retries;  // --retries: tries after a transfer failed for a passing reason
  bool check;   // --check: report what an update would do and change nothing

  // --speed-limit and --speed-time: a transfer below speedLimit bytes a
  // second for speedTime seconds fails (default 1024 over 60; 0 bytes: off).
  int speedLimit;
  int speedTime;
  char caFile[1024];  // --ca-file: PEM file of trusted authorities; empty: the system's
};

// Longest accepted values; longer ones are option errors rather than being
// cut, since a cut directory or host would point somewhere else. A directory
// keeps one byte free for the '/' that FinishSettings appends.
constexpr size_t kMaxPlatform = sizeof(CliSettings::platform) - 1;
constexpr size_t kMaxBaseDir = sizeof(CliSettings::baseDir) - 2;
constexpr size_t kMaxServer = sizeof(CliSettings::server) - 1;
constexpr size_t kMaxCaFile = sizeof(CliSettings::caFile) - 1;

// The defaults: product line "5", type "full", platform and base directory
// empty, the vendor's server over HTTP, mark-all off, one job, no retries,
// 1024 bytes a second over 60 seconds, the system's authorities.
void InitSettings(CliSettings* settings);

// Parses argv with the option string "345and:hp:t:V" and the long options
// "all", "no-any-key", "dir", "help", "server", "version", "trust-key" (whose
// file is read at once, so that a bad key is an option error), "jobs",
// "retries", "check", "speed-limit", "speed-time" and "ca-file" (which must be
// readable). "--server" takes HOST[:PORT] with an optional "http://" or
// "https://" in front. Diagnostics go to `err`
// (getopt's own ones to standard error); the usage text goes to `out`.
// Returns -1 when the run goes on, the exit status 1 after -h, --help or an
// option error (the usage text having been printed), or 0 after -V or
// --version (the library versions having been printed to `out`).
int ParseOptions(int argc, char** argv, CliSettings* settings, FILE* out, FILE* err);

// Gives an empty platform the default and ends the base directory in '/'.
void FinishSettings(CliSettings* settings);

// Writes the update-info URL for the settings (http or https) into `url` (`size` bytes, cut
// to size - 1 characters). Returns false when it had to be cut.
bool BuildInfoUrl(const CliSettings& settings, char* url, size_t size);

// Prints the usage text.
void PrintUsage(FILE* out);

#endif  // UPDATER_CLI_OPTIONS_H_
