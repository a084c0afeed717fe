// Transfer settings applied to downloaders, and which failures are worth a
// second try.
#include "transfer.h"

#include <cstdio>

#include "download_nocurl.h"
#include "updater.h"

void ConfigureDownload(const TransferSettings& settings, int64_t maxSize,
                       VelmarDownloadNoCurl* download) {
  download->SetMinimumRate(settings.minRate, settings.rateWindow);
  download->SetMaxSize(maxSize);
}

bool IsTransient(VelmarDownloadNoCurl* download) {
  switch (download->GetError()) {
    case VDL_ERR_CONNECT:
    case VDL_ERR_TIMEOUT:
      return true;
    case VDL_ERR_INVALID_RESPONSE: {
      // No status read: the connection went before the answer did; a
      // success status: the body was cut off.
      int status = download->GetHttpStatus();
      if (download->SizeLimitHit()) return false;
      return status == 0 || status == 200 || status == 206 || (status >= 500 && status <= 599);
    }
    default:
      return false;
  }
}

uint32_t RetryPauseSeconds(int attempt) {
  if (attempt < 1) return 0;
  return attempt > 7 ? 64 : 1u << (attempt - 1);
}

std::string RetryLine(const char* name, const char* reason, uint32_t seconds, int attempt,
                      int retries) {
  char line[2048];
  snprintf(line, sizeof(line), "Transfer of %s failed (%s), trying again in %u s (%d of %d)", name,
           reason, seconds, attempt, retries);
  return line;
}

void Updater::SetTransferSettings(const TransferSettings& settings) {
  ScopedLock hold(lock);
  transfer = settings;
}
