// The stages a pack passes through on its way to an unpacked file, each a
// small type that PackUnpacker (pack_unpacker.h) chains in this order:
// DecipherStage (RC4 with the entry's key), InflateStage (zlib, the output
// bounded by the entry's size), DigestStage (MD5 or SHA-256 as lower-case
// hex) and WriteStage (to a file descriptor).
//
// Memory does not grow with the pack or the file: each stage keeps its state
// in fixed-size members, and zlib's state and window, which are the same size
// for every stream, come from the tracked allocator. Nothing is shared
// between objects, so different objects may be used on different threads at
// once; one object must not be used by two threads at a time.
#ifndef UPDATER_LIBUPDATER_PACK_STAGES_H_
#define UPDATER_LIBUPDATER_PACK_STAGES_H_

#include <zlib.h>

#include <cstddef>
#include <cstdint>

#include "hash.h"
#include "rc4.h"

// Deciphers a pack with the entry's key.
class DecipherStage {
 public:
  // Sets the cipher up afresh for a new pack. `key` is the entry's key text:
  // its first 16 bytes are the key, a shorter text is padded with zero bytes
  // to 16. Null or empty means the pack is not enciphered.
  void Begin(const char* key);
  // True when the pack is enciphered, i.e. Begin was given a key.
  bool enciphered() const { return enciphered_; }
  // Deciphers the pack's next `length` bytes from `input` into `output`,
  // which may be `input`. Without a key the bytes are copied unchanged.
  void Apply(const uint8_t* input, uint8_t* output, size_t length);

 private:
  bool enciphered_ = false;
  Rc4State state_ = {};
};

// What InflateStage::Run needs next.
enum class InflateState {
  kNeedInput,   // every input byte is used; hand over more, or Finish
  kOutputFull,  // the output space is full; drain it and run again
  kEnded,       // the stream is complete; later input is ignored
  kFailed,      // the stream cannot be inflated; result() says why
};

// Inflates one zlib stream handed over in pieces. The output is bounded by
// the entry's size, and the outcome is exactly that of zlib's one-shot
// uncompress given the whole stream and an output of that size:
//  - Z_OK when the stream ends, also with bytes after its end (ignored) and
//    when it inflates to fewer than `size` bytes;
//  - Z_BUF_ERROR (-5) when the stream inflates to more than `size` bytes,
//    reported as soon as the bound is reached, so a stream that inflates to
//    far more than `size` costs no more than `size` bytes of output;
//  - Z_DATA_ERROR (-3) for a damaged stream (a wrong key included), a stream
//    that needs a preset dictionary, and input that ends before the stream
//    does while output space remains; input that ends exactly when the output
//    is full gives Z_BUF_ERROR;
//  - with `size` 0, as uncompress does, one byte is inflated into a scratch
//    byte and dropped: a stream of at most one byte gives Z_OK with no
//    output, every other unfinished stream Z_DATA_ERROR.
class InflateStage {
 public:
  InflateStage();
  ~InflateStage();
  InflateStage(const InflateStage&) = delete;
  InflateStage& operator=(const InflateStage&) = delete;

  // Starts a stream whose output may be at most `size` bytes. Returns Z_OK,
  // or zlib's code (Z_MEM_ERROR) when its state cannot be allocated; the
  // stage has then failed with that result.
  int Begin(uint32_t size);
  // Hands over the stream's next bytes. They are read, not copied, and must
  // stay valid until Run reports anything but kOutputFull.
  void SetInput(const uint8_t* data, size_t length);
  // Inflates into `out`, at most `capacity` bytes, and sets `*produced` to
  // the number written. Needs a Begin that succeeded.
  InflateState Run(uint8_t* out, size_t capacity, size_t* produced);
  // Declares the end of the input and returns the final result (see above).
  int Finish();

  // Z_OK until the stream fails; afterwards the code one-shot uncompress
  // gives for it.
  int result() const { return result_; }
  bool ended() const { return phase_ == InflateState::kEnded; }

 private:
  InflateState Fail(int code);
  // Maps inflate's Z_BUF_ERROR at the end of the input, or at the output
  // bound, to uncompress's result.
  int StalledResult() const;

  z_stream stream_;
  bool initialised_ = false;
  bool scratchOnly_ = false;  // size 0: output goes to scratch_ and is dropped
  uint8_t scratch_[1] = {};
  uint64_t room_ = 0;  // output still allowed by the size bound
  const uint8_t* input_ = nullptr;
  size_t inputLeft_ = 0;  // handed-over bytes not yet given to zlib
  InflateState phase_ = InflateState::kFailed;
  int result_ = Z_STREAM_ERROR;
};

// The digest a file or pack is proved by.
enum class DigestKind {
  kNone,    // nothing is computed; the text stays empty
  kMd5,     // documents below version 2
  kSha256,  // documents from version 2 on, through OpenSSL's EVP
};

// The kind that documents of schema `infoVersion` use.
DigestKind DigestKindFor(int infoVersion);

// An incremental digest, finished as lower-case hex text.
class DigestStage {
 public:
  DigestStage() = default;
  ~DigestStage();
  DigestStage(const DigestStage&) = delete;
  DigestStage& operator=(const DigestStage&) = delete;

  // Starts a new digest, dropping one in progress. False when OpenSSL does
  // not know "sha256" (its digest table not loaded); the stage then adds
  // nothing and its text stays empty.
  bool Begin(DigestKind kind);
  void Add(const void* data, size_t length);
  // Finishes the digest and returns its hex text: 32 characters for MD5, 64
  // for SHA-256, empty for kNone or after a failed Begin. The text belongs
  // to the stage and stays valid until the next Begin; calling Finish again
  // returns it unchanged.
  const char* Finish();

 private:
  void Drop();

  DigestKind kind_ = DigestKind::kNone;
  bool running_ = false;
  Md5Context md5_ = {};
  HashContext* hash_ = nullptr;  // plain heap, owned by hash_init/hash_final
  char hex_[65] = {};
};

// Writes whole pieces to a file descriptor.
class WriteStage {
 public:
  // Writes go to `fd`, which stays the caller's and is never closed here. A
  // descriptor in blocking mode is expected; EAGAIN counts as a failure.
  void Begin(int fd);
  // Writes all `length` bytes, going on after short writes and retrying
  // calls interrupted by a signal. False at the first other failure, with
  // error() holding its errno (EIO for a write that takes nothing).
  bool Write(const void* data, size_t length);
  int error() const { return error_; }
  // Bytes written since Begin.
  uint64_t written() const { return written_; }

 private:
  int fd_ = -1;
  int error_ = 0;
  uint64_t written_ = 0;
};

#endif  // UPDATER_LIBUPDATER_PACK_STAGES_H_
