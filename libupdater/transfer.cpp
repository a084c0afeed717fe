// Transfer settings applied to downloaders, and which failures are worth a
// second try.
#include "transfer.h"

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
    case VDL_ERR_INVALID_RESPONSE:
      return download->GetHttpStatus() >= 500 && download->GetHttpStatus() <= 599;
    default:
      return false;
  }
}

uint32_t RetryPauseSeconds(int attempt) {
  if (attempt < 1) return 0;
  return attempt > 7 ? 64 : 1u << (attempt - 1);
}

void Updater::SetTransferSettings(const TransferSettings& settings) {
  ScopedLock hold(lock);
  transfer = settings;
}
