// Unpacks one pack as its bytes arrive: decipher, inflate, digest, write
// (the stages of pack_stages.h), in memory that does not depend on the size
// of the pack or of the file. The pack's own bytes are digested as they are
// fed, so a pack can be proved against the document without reading it back.
//
// A failure maps to the engine's messages as follows (ErrorText gives the
// text):
//   kInflate  "Error uncompressing data (%d)" with ZlibResult(): -3 for a
//             damaged pack, a wrong key or a pack cut short, -5 for a file
//             longer than `size`, exactly as one-shot uncompress reports the
//             same bytes (see InflateStage); -4 when the unpacker's buffers or
//             zlib's state cannot be allocated, as when the one-shot output
//             block could not be.
//   kWrite    "Error writing file data! (%s)" with strerror(WriteError()).
//   kDigest   Begin only: OpenSSL does not know "sha256". ErrorText is
//             empty; callers report it as they report a file whose digest
//             cannot be computed, as a digest that does not match.
//
// Thread-safety: one object per thread; separate objects share nothing.
#ifndef UPDATER_LIBUPDATER_PACK_UNPACKER_H_
#define UPDATER_LIBUPDATER_PACK_UNPACKER_H_

#include <cstddef>
#include <cstdint>

#include "pack_stages.h"

enum class UnpackFailure { kNone, kInflate, kWrite, kDigest };

class PackUnpacker {
 public:
  // Pieces of this size are deciphered and written at a time.
  static constexpr size_t kPieceSize = 65536;

  PackUnpacker();
  ~PackUnpacker();
  PackUnpacker(const PackUnpacker&) = delete;
  PackUnpacker& operator=(const PackUnpacker&) = delete;

  // Starts a pack, dropping whatever the previous one left. `key` is the
  // entry's key text (null or empty: not enciphered; see DecipherStage),
  // `size` the upper bound of the file's length, `digest` the kind of both
  // digests, `outFd` an open, blocking descriptor that receives the file and
  // stays the caller's. With `digestPack` false the pack's digest is not
  // taken (PackDigest stays empty), which saves its cost when only the
  // file's matters. False when the unpacker cannot start (failure() says
  // why); Feed and Finish then fail too.
  bool Begin(const char* key, uint32_t size, DigestKind digest, int outFd, bool digestPack = true);
  // Takes the pack's next bytes; any length, the caller keeps the data. False
  // once the pack has failed: later bytes are then only added to the pack's
  // digest, so a caller may go on feeding to prove the pack itself. Bytes
  // after the end of the zlib stream are digested and otherwise ignored.
  bool Feed(const void* data, size_t length);
  // Declares the end of the pack: writes what is pending and finishes both
  // digests. True when the whole file was inflated and written.
  bool Finish();

  UnpackFailure failure() const { return failure_; }
  // Z_OK, or the code of a kInflate failure.
  int ZlibResult() const { return zlibResult_; }
  // The errno of a kWrite failure, else 0.
  int WriteError() const { return writer_.error(); }
  // The engine's message for the failure, "" when there is none (or for
  // kDigest). Owned by the unpacker, valid until the next call.
  const char* ErrorText();
  // Hex digest of the file, after a Finish that returned true; "" otherwise.
  const char* FileDigest() const { return fileHex_; }
  // Hex digest of every byte fed, after Finish (successful or not); ""
  // before it.
  const char* PackDigest() const { return packHex_; }
  // Bytes of the file written so far; never more than `size`.
  uint64_t written() const { return writer_.written(); }

 private:
  bool Fail(UnpackFailure failure, int zlibResult);
  bool Inflate(const uint8_t* data, size_t length);
  bool Flush();

  DecipherStage decipher_;
  InflateStage inflate_;
  DigestStage fileDigest_;
  DigestStage packDigest_;
  WriteStage writer_;
  uint8_t* buffers_ = nullptr;  // tracked: deciphered input, then output
  size_t pending_ = 0;          // output bytes not yet written
  bool begun_ = false;
  bool finished_ = false;
  UnpackFailure failure_ = UnpackFailure::kNone;
  int zlibResult_ = 0;
  const char* fileHex_ = "";
  const char* packHex_ = "";
  char errorText_[128] = {};
};

#endif  // UPDATER_LIBUPDATER_PACK_UNPACKER_H_
