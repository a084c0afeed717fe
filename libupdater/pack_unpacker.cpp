#define MEMLEAK_SOURCE "libupdater"
// The pack unpacker: feeds each piece through the stages and keeps the first
// failure.
#include "pack_unpacker.h"

#include <cstdio>
#include <cstring>

#include "memleak.h"

PackUnpacker::PackUnpacker() = default;

PackUnpacker::~PackUnpacker() {
  if (buffers_ != nullptr) zfree(buffers_);
}

bool PackUnpacker::Fail(UnpackFailure failure, int zlibResult) {
  if (failure_ == UnpackFailure::kNone) {
    failure_ = failure;
    zlibResult_ = zlibResult;
  }
  return false;
}

bool PackUnpacker::Begin(const char* key, uint32_t size, DigestKind digest, int outFd,
                         bool digestPack) {
  begun_ = true;
  finished_ = false;
  failure_ = UnpackFailure::kNone;
  zlibResult_ = Z_OK;
  pending_ = 0;
  fileHex_ = "";
  packHex_ = "";
  writer_.Begin(outFd);
  decipher_.Begin(key);
  bool digestsKnown =
      packDigest_.Begin(digestPack ? digest : DigestKind::kNone) && fileDigest_.Begin(digest);
  // The buffers stay for the next pack.
  if (buffers_ == nullptr) buffers_ = static_cast<uint8_t*>(zmalloc(2 * kPieceSize));
  if (buffers_ == nullptr) return Fail(UnpackFailure::kInflate, Z_MEM_ERROR);
  int code = inflate_.Begin(size);
  if (code != Z_OK) return Fail(UnpackFailure::kInflate, code);
  if (!digestsKnown) return Fail(UnpackFailure::kDigest, Z_OK);
  return true;
}

bool PackUnpacker::Feed(const void* data, size_t length) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  if (begun_ && !finished_) packDigest_.Add(bytes, length);
  if (!begun_ || finished_ || failure_ != UnpackFailure::kNone) return false;
  if (!decipher_.enciphered()) return Inflate(bytes, length);
  uint8_t* plain = buffers_;
  // Trailing bytes after the stream's end need no deciphering.
  while (length > 0 && !inflate_.ended()) {
    size_t piece = length < kPieceSize ? length : kPieceSize;
    decipher_.Apply(bytes, plain, piece);
    if (!Inflate(plain, piece)) return false;
    bytes += piece;
    length -= piece;
  }
  return true;
}

// Inflates one piece into the output buffer, writing it out each time it
// fills. Each round either fills the buffer (bounded by `size` in all) or
// ends the loop.
bool PackUnpacker::Inflate(const uint8_t* data, size_t length) {
  if (inflate_.ended()) return true;
  uint8_t* out = buffers_ + kPieceSize;
  inflate_.SetInput(data, length);
  for (;;) {
    size_t made = 0;
    InflateState state = inflate_.Run(out + pending_, kPieceSize - pending_, &made);
    pending_ += made;
    if (pending_ == kPieceSize && !Flush()) return false;
    if (state == InflateState::kFailed) return Fail(UnpackFailure::kInflate, inflate_.result());
    if (state != InflateState::kOutputFull) return true;
  }
}

bool PackUnpacker::Flush() {
  const uint8_t* out = buffers_ + kPieceSize;
  fileDigest_.Add(out, pending_);
  bool ok = writer_.Write(out, pending_);
  pending_ = 0;
  return ok || Fail(UnpackFailure::kWrite, Z_OK);
}

bool PackUnpacker::Finish() {
  if (!begun_ || finished_) return false;
  finished_ = true;
  if (failure_ == UnpackFailure::kNone) {
    int code = inflate_.Finish();
    if (code != Z_OK) {
      Fail(UnpackFailure::kInflate, code);
    } else if (pending_ > 0) {
      Flush();
    }
  }
  packHex_ = packDigest_.Finish();
  if (failure_ == UnpackFailure::kNone) fileHex_ = fileDigest_.Finish();
  return failure_ == UnpackFailure::kNone;
}

const char* PackUnpacker::ErrorText() {
  errorText_[0] = '\0';
  if (failure_ == UnpackFailure::kInflate) {
    snprintf(errorText_, sizeof(errorText_), "Error uncompressing data (%d)", zlibResult_);
  } else if (failure_ == UnpackFailure::kWrite) {
    snprintf(errorText_, sizeof(errorText_), "Error writing file data! (%s)",
             strerror(writer_.error()));
  }
  return errorText_;
}
