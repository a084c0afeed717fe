// The updater program: reads the options, then drives one Updater through
// download, parsing, selection and update, printing one result line and
// leaving with status 0 or 1. With --check it stops after the selection and
// reports what the update would do (status 0 or 2), having changed nothing.
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "GenLib.h"
#include "builtin_keys.h"
#include "check.h"
#include "console.h"
#include "options.h"
#include "updater.h"

namespace {

// Process-wide like the rest of the run's settings.
char g_infoUrl[256];
CliSettings g_settings;

// Hands the keys compiled into the program and those of --trust-key to the
// Updater. False when a compiled-in key cannot be used.
bool AddTrustedKeys(Updater* updater) {
  for (size_t i = 0; i < kBuiltInTrustKeyCount; ++i) {
    TrustKey key;
    if (!trust_key_from_raw(kBuiltInTrustKeys[i], &key)) return false;
    updater->AddTrustedKey(key);
  }
  for (uint32_t i = 0; i < g_settings.trustKeyCount; ++i) {
    updater->AddTrustedKey(g_settings.trustKeys[i]);
  }
  return true;
}

// The engine half of the run; the Updater lives until the result is printed.
int RunUpdate(const char* selfName) {
  Updater updater;
  updater.Init(g_infoUrl, g_settings.baseDir, selfName, ".updater.ini", &g_consoleCallbacks);
  TransferSettings transfer;
  transfer.jobs = g_settings.jobs;
  transfer.retries = g_settings.retries;
  transfer.minRate = static_cast<uint32_t>(g_settings.speedLimit);
  transfer.rateWindow = static_cast<uint32_t>(g_settings.speedTime);
  transfer.caFile = g_settings.caFile;
  updater.SetTransferSettings(transfer);
  updater.SetDryRun(g_settings.check);
  if (!AddTrustedKeys(&updater)) {
    printf("\nError downloading info files: a compiled-in trusted key cannot be used\n");
    return 1;
  }
  if (!updater.LockBaseDir()) {
    printf("\nError: %s\n", updater.GetLastError());
    return 1;
  }
  if (!updater.DownloadInfo()) {
    printf("\nError downloading info files: %s\n", updater.GetLastError());
    return 1;
  }
  printf("\nGot info files... parsing...\n");
  if (!updater.ParseInfo()) {
    printf("\nError parsing info files: %s\n", updater.GetLastError());
    return 1;
  }
  if (g_settings.markAll) updater.SetAllGroupStates(Install);
  if (g_settings.check) return RunCheck(&updater, stdout);
  if (!updater.HasWork()) {
    printf("\nAbort: Nothing to be done, you are up-to-date\n");
    return 0;
  }
  printf("\n");
  if (!updater.PerformUpdate()) {
    printf("\nError performing update: %s\n", updater.GetLastError());
    return 1;
  }
  updater.SaveState();
  printf("\nUpdate Complete!\n");
  return 0;
}

int Run(int argc, char** argv) {
  signal(SIGHUP, SIG_IGN);
  signal(SIGPIPE, SIG_IGN);
  signal(SIGSEGV, SIG_IGN);

  InitSettings(&g_settings);
  printf("*** Tessaworks' Updater 2.01 (CLI) ***\n\n");
  // One byte stays free for the '/' appended below.
  if (getcwd(g_settings.baseDir, sizeof(g_settings.baseDir) - 1) == nullptr) {
    printf("Error getting current working directory!\n");
    strlcpy(g_settings.baseDir, "./", sizeof(g_settings.baseDir));
  }
  fflush(stdout);  // the banner comes before any option diagnostic
  int status = ParseOptions(argc, argv, &g_settings, stdout, stderr);
  if (status >= 0) return status;
  FinishSettings(&g_settings);
  BuildInfoUrl(g_settings, g_infoUrl, sizeof(g_infoUrl));
  printf("Downloading update info files for: %s\n", g_settings.platform);
  const char* selfName = argc > 0 && argv[0] != nullptr ? GetFileName(argv[0]) : "";
  return RunUpdate(selfName);
}

}  // namespace

int main(int argc, char** argv) {
  int status = Run(argc, argv);
  fflush(stdout);
  return status;
}
