#define MEMLEAK_SOURCE "libupdater"
// The pack stages: deciphering, bounded inflating, digesting, writing.
#include "pack_stages.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "memleak.h"

namespace {

// zlib's state and window come from the tracked allocator, like every other
// block of the engine.
voidpf TrackedAlloc(voidpf, uInt items, uInt size) {
  uint64_t total = static_cast<uint64_t>(items) * size;
  if (total == 0 || total > UINT32_MAX) return Z_NULL;
  return zmalloc(static_cast<uint32_t>(total));
}

void TrackedFree(voidpf, voidpf block) { zfree(block); }

}  // namespace

// ---- deciphering --------------------------------------------------------------

void DecipherStage::Begin(const char* key) {
  enciphered_ = key != nullptr && key[0] != '\0';
  memset(&state_, 0, sizeof(state_));
  if (!enciphered_) return;
  uint8_t keyBytes[16] = {};
  memcpy(keyBytes, key, strnlen(key, sizeof(keyBytes)));
  rc4_set_key(&state_, sizeof(keyBytes), keyBytes);
}

void DecipherStage::Apply(const uint8_t* input, uint8_t* output, size_t length) {
  if (enciphered_) {
    rc4_crypt(&state_, length, input, output);
  } else if (input != output && length > 0) {
    memmove(output, input, length);
  }
}

// ---- inflating ----------------------------------------------------------------

InflateStage::InflateStage() { memset(&stream_, 0, sizeof(stream_)); }

InflateStage::~InflateStage() {
  if (initialised_) inflateEnd(&stream_);
}

int InflateStage::Begin(uint32_t size) {
  // uncompress, given no output space, inflates into one scratch byte so
  // that it can tell a finished stream from a longer one; so does this.
  scratchOnly_ = size == 0;
  room_ = scratchOnly_ ? 1 : size;
  int code;
  if (initialised_) {
    code = inflateReset(&stream_);
  } else {
    memset(&stream_, 0, sizeof(stream_));
    stream_.zalloc = TrackedAlloc;
    stream_.zfree = TrackedFree;
    code = inflateInit(&stream_);
    initialised_ = code == Z_OK;
  }
  if (code != Z_OK) {
    Fail(code);
    return code;
  }
  SetInput(nullptr, 0);
  phase_ = InflateState::kNeedInput;
  result_ = Z_OK;
  return Z_OK;
}

void InflateStage::SetInput(const uint8_t* data, size_t length) {
  // Whatever zlib had not taken of earlier input (after the stream's end,
  // or from an earlier stream) is dropped, never read again.
  stream_.next_in = nullptr;
  stream_.avail_in = 0;
  input_ = data;
  inputLeft_ = length;
}

InflateState InflateStage::Fail(int code) {
  phase_ = InflateState::kFailed;
  result_ = code;
  return phase_;
}

int InflateStage::StalledResult() const {
  // uncompress reports a stalled stream as a data error while output space
  // is left (the input ended early), and as Z_BUF_ERROR once the size bound
  // is reached; with no output space at all always as a data error.
  return scratchOnly_ || room_ > 0 ? Z_DATA_ERROR : Z_BUF_ERROR;
}

InflateState InflateStage::Run(uint8_t* out, size_t capacity, size_t* produced) {
  *produced = 0;
  // Every call of inflate either consumes input or produces output, both
  // bounded, or ends the loop.
  while (phase_ == InflateState::kNeedInput) {
    if (stream_.avail_in == 0 && inputLeft_ > 0) {
      stream_.next_in = const_cast<Bytef*>(input_);
      stream_.avail_in = inputLeft_ > UINT_MAX ? UINT_MAX : static_cast<uInt>(inputLeft_);
      input_ += stream_.avail_in;
      inputLeft_ -= stream_.avail_in;
    }
    uint64_t space = scratchOnly_ ? room_ : capacity - *produced;
    if (space > room_) space = room_;
    if (space > UINT_MAX) space = UINT_MAX;
    stream_.next_out = scratchOnly_ ? scratch_ : out + *produced;
    stream_.avail_out = static_cast<uInt>(space);
    int code = inflate(&stream_, Z_NO_FLUSH);
    uint64_t made = space - stream_.avail_out;
    room_ -= made;
    if (!scratchOnly_) *produced += made;
    if (code == Z_STREAM_END) {
      phase_ = InflateState::kEnded;
      return phase_;
    }
    bool inputUsed = stream_.avail_in == 0 && inputLeft_ == 0;
    bool outputFull = !scratchOnly_ && room_ > 0 && *produced == capacity;
    if (code == Z_OK && outputFull) return InflateState::kOutputFull;
    if (code == Z_OK) continue;
    if (code == Z_BUF_ERROR && inputUsed) return InflateState::kNeedInput;
    if (code == Z_BUF_ERROR && outputFull) return InflateState::kOutputFull;
    if (code == Z_BUF_ERROR) return Fail(StalledResult());
    return Fail(code == Z_NEED_DICT ? Z_DATA_ERROR : code);
  }
  return phase_;
}

int InflateStage::Finish() {
  if (phase_ == InflateState::kNeedInput) Fail(StalledResult());
  return phase_ == InflateState::kEnded ? Z_OK : result_;
}

// ---- digesting ----------------------------------------------------------------

DigestKind DigestKindFor(int infoVersion) {
  return infoVersion < 2 ? DigestKind::kMd5 : DigestKind::kSha256;
}

DigestStage::~DigestStage() { Drop(); }

void DigestStage::Drop() {
  if (hash_ != nullptr) hash_final(hash_, nullptr, 0);
  hash_ = nullptr;
  running_ = false;
}

bool DigestStage::Begin(DigestKind kind) {
  Drop();
  kind_ = kind;
  hex_[0] = '\0';
  if (kind == DigestKind::kMd5) md5_init(&md5_);
  if (kind == DigestKind::kSha256) hash_ = hash_init("sha256");
  running_ = kind == DigestKind::kMd5 || hash_ != nullptr;
  return kind == DigestKind::kNone || running_;
}

void DigestStage::Add(const void* data, size_t length) {
  if (!running_) return;
  if (kind_ == DigestKind::kSha256) {
    hash_update(hash_, data, length);
    return;
  }
  // md5_update takes 32-bit lengths.
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  while (length > 0) {
    uint32_t piece = length > (1u << 30) ? (1u << 30) : static_cast<uint32_t>(length);
    md5_update(&md5_, bytes, piece);
    bytes += piece;
    length -= piece;
  }
}

const char* DigestStage::Finish() {
  if (!running_) return hex_;
  uint8_t raw[32];
  size_t size = 16;
  if (kind_ == DigestKind::kMd5) {
    md5_final(&md5_, raw);
  } else {
    size = static_cast<size_t>(hash_->digestSize);
    if (size > sizeof(raw)) size = sizeof(raw);
    hash_final(hash_, raw, sizeof(raw));
    hash_ = nullptr;
  }
  hash_to_hex(raw, size, hex_);
  running_ = false;
  return hex_;
}

// ---- writing ------------------------------------------------------------------

void WriteStage::Begin(int fd) {
  fd_ = fd;
  error_ = 0;
  written_ = 0;
}

bool WriteStage::Write(const void* data, size_t length) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  // Each round writes at least one byte or ends the loop.
  while (length > 0) {
    ssize_t count = write(fd_, bytes, length);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      error_ = count < 0 ? errno : EIO;
      return false;
    }
    bytes += count;
    length -= static_cast<size_t>(count);
    written_ += static_cast<uint64_t>(count);
  }
  return true;
}
