// Transfer settings applied to downloaders, size bounds, which failures are
// worth a second try, and the texts of failed transfers.
#include "transfer.h"

#include <zlib.h>

#include <cstdio>

#include "download_nocurl.h"
#include "locks.h"
#include "text_format.h"
#include "updater.h"

namespace {

// True for the failures the error code alone does not explain.
bool NeedsDetail(VdlFailureKind kind) {
  switch (kind) {
    case VDL_FAIL_SIZE_LIMIT:
    case VDL_FAIL_TOO_SLOW:
    case VDL_FAIL_CERTIFICATE:
    case VDL_FAIL_TLS:
    case VDL_FAIL_TLS_DOWNGRADE:
      return true;
    default:
      return false;
  }
}

}  // namespace

int64_t PackSizeBound(int64_t size) {
  if (size <= 0) return static_cast<int64_t>(compressBound(0));
  return static_cast<int64_t>(compressBound(static_cast<uLong>(size)));
}

void ConfigureDownload(const TransferSettings& settings, int64_t maxSize,
                       VelmarDownloadNoCurl* download) {
  download->SetMinimumRate(settings.minRate, settings.rateWindow);
  download->SetMaxSize(maxSize);
  download->SetCaFile(settings.caFile.c_str());
}

bool IsTransient(VelmarDownloadNoCurl* download) {
  const VdlFailureKind kind = download->GetFailureKind();
  switch (download->GetError()) {
    case VDL_ERR_CONNECT:  // refused, unreachable, or the request could not be sent
      return kind != VDL_FAIL_CERTIFICATE && kind != VDL_FAIL_TLS;
    case VDL_ERR_TIMEOUT:
      return true;
    case VDL_ERR_INVALID_RESPONSE:
      return kind == VDL_FAIL_CUT_SHORT ||
             (download->GetHttpStatus() >= 500 && download->GetHttpStatus() <= 599);
    default:
      return false;
  }
}

uint32_t RetryPauseSeconds(int attempt) {
  if (attempt < 1) return 0;
  return attempt > 7 ? 64 : 1u << (attempt - 1);
}

void PauseBeforeRetry(const TransferSettings& settings, int attempt) {
  const uint32_t seconds = RetryPauseSeconds(attempt);
  if (settings.pause != nullptr) {
    settings.pause(seconds);
  } else {
    Sleep(seconds, false);
  }
}

std::string TransferFailureText(VelmarDownloadNoCurl* download) {
  std::string text = download->GetErrorString();
  if (NeedsDetail(download->GetFailureKind()) && download->GetErrorDetail()[0] != '\0') {
    text = text + " (" + download->GetErrorDetail() + ")";
  }
  return text;
}

std::string PackFailureText(VelmarDownloadNoCurl* download, const std::string& path, int64_t size) {
  if (download->SizeLimitHit()) {
    return Format("Pack of %s is larger than %lld bytes, the most a file of %lld bytes packs into",
                  path.c_str(), static_cast<long long>(PackSizeBound(size)),
                  static_cast<long long>(size));
  }
  return Format("VDL reports '%s' while downloading '%s'", TransferFailureText(download).c_str(),
                path.c_str());
}

std::string RetryNotice(const std::string& what, VelmarDownloadNoCurl* download, int attempt,
                        int retries) {
  std::string reason = download->GetErrorString();
  if (download->GetErrorDetail()[0] != '\0') reason = reason + ": " + download->GetErrorDetail();
  return Format("Transfer of %s failed (%s), trying again in %u s (%d of %d)", what.c_str(),
                reason.c_str(), RetryPauseSeconds(attempt), attempt, retries);
}

void Updater::SetTransferSettings(const TransferSettings& settings) {
  ScopedLock hold(lock);
  transfer = settings;
}
