// Unpacking speed and peak memory: the one-shot path the engine used before
// (whole pack and whole file in memory, the word-wide RC4 loop), UnpackFile
// on PackUnpacker, the one-shot path followed by the SHA-256 of the file (as
// the update checks it), PackUnpacker with both SHA-256 digests (file and
// pack) computed on the way, and a plain loop
// of OpenSSL's RC4 and zlib's inflate as a yardstick. Also the RC4 routine
// alone, old and new, against OpenSSL's.
//
// Then a pack of 1 GiB of zeros: one-shot and UnpackFile with a bound that
// admits it, and UnpackFile with a bound of 1 MiB.
//
// Not part of the build. From the top of the tree, after building `engine`:
//   g++ -O2 -std=c++17 -Ilibupdater -Isrc bench/pack_unpacker_bench.cpp \
//     build/libupdater/libengine.a build/src/libsupport.a \
//     -lz -lssl -lcrypto -ltinyxml -lpthread -o /tmp/pack_unpacker_bench
//   /tmp/pack_unpacker_bench [megabytes] [runs] [null]
// Each measurement runs in a child process of its own, so its peak resident
// size is its own; the table gives the median time of the runs.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <fcntl.h>
#include <openssl/rc4.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "memleak.h"
#include "pack_unpacker.h"
#include "rc4.h"
#include "updater.h"

namespace {

const char kKey[17] = "0123456789abcdef";
const size_t kPiece = 65536;
std::string gDir;
std::string gOut;  // where the unpacked file goes

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The RC4 loop as it was: word-wide state, one byte per step.
void OldRc4(Rc4State* state, uint64_t length, const uint8_t* input, uint8_t* output) {
  uint32_t x = state->x, y = state->y, *data = state->data;
  for (uint64_t n = 0; n < length; ++n) {
    x = (x + 1) & 0xFF;
    uint32_t a = data[x];
    y = (y + a) & 0xFF;
    uint32_t b = data[y];
    data[x] = b;
    data[y] = a;
    output[n] = input[n] ^ static_cast<uint8_t>(data[(a + b) & 0xFF]);
  }
  state->x = x;
  state->y = y;
}

// Mixed content: text-like lines, incompressible runs and zero runs.
void MakeFiles(size_t megabytes) {
  std::mt19937 random(7);
  std::string content;
  content.reserve(megabytes << 20);
  while (content.size() < (megabytes << 20)) {
    switch (random() % 3) {
      case 0:
        for (int i = 0; i < 20000; ++i)
          content += "entry " + std::to_string(random() % 5000) + "\n";
        break;
      case 1:
        for (int i = 0; i < 200000; ++i) content += static_cast<char>(random());
        break;
      default:
        content.append(200000, '\0');
    }
  }
  content.resize(megabytes << 20);
  uLongf length = compressBound(content.size());
  std::vector<uint8_t> pack(length);
  compress(pack.data(), &length, reinterpret_cast<const Bytef*>(content.data()), content.size());
  Rc4State state = {};
  rc4_set_key(&state, 16, reinterpret_cast<const uint8_t*>(kKey));
  rc4_crypt(&state, length, pack.data(), pack.data());
  FILE* out = fopen((gDir + "/pack").c_str(), "wb");
  fwrite(pack.data(), 1, length, out);
  fclose(out);
  printf("file %zu MB, pack %.1f MB\n", megabytes, length / 1048576.0);
}

// A pack of 1 GiB of zeros (about 1 MB), enciphered like the others.
void MakeBomb() {
  z_stream stream = {};
  deflateInit(&stream, Z_BEST_COMPRESSION);
  std::vector<uint8_t> zeros(1 << 20), piece(1 << 16), pack;
  for (int megabyte = 0; megabyte < 1024; ++megabyte) {
    stream.next_in = zeros.data();
    stream.avail_in = zeros.size();
    int flush = megabyte == 1023 ? Z_FINISH : Z_NO_FLUSH;
    do {
      stream.next_out = piece.data();
      stream.avail_out = piece.size();
      deflate(&stream, flush);
      pack.insert(pack.end(), piece.data(), piece.data() + piece.size() - stream.avail_out);
    } while (stream.avail_out == 0);
  }
  deflateEnd(&stream);
  Rc4State state = {};
  rc4_set_key(&state, 16, reinterpret_cast<const uint8_t*>(kKey));
  rc4_crypt(&state, pack.size(), pack.data(), pack.data());
  FILE* out = fopen((gDir + "/bomb").c_str(), "wb");
  fwrite(pack.data(), 1, pack.size(), out);
  fclose(out);
  printf("bomb: 1024 MB of zeros, pack %.1f MB, unpacked to /dev/null\n", pack.size() / 1048576.0);
}

bool OneShot(const char* source, const char* destination, uint32_t size) {
  FILE* in = fopen(source, "rb");
  fseek(in, 0, SEEK_END);
  long length = ftell(in);
  fseek(in, 0, SEEK_SET);
  uint8_t* pack = static_cast<uint8_t*>(zmalloc(length + 1));
  if (fread(pack, 1, length, in) != static_cast<size_t>(length)) return false;
  fclose(in);
  FILE* out = fopen(destination, "wb");
  Rc4State state = {};
  rc4_set_key(&state, 16, reinterpret_cast<const uint8_t*>(kKey));
  OldRc4(&state, length, pack, pack);
  uint8_t* plain = static_cast<uint8_t*>(zmalloc(size + 1));
  uLongf plainLength = size;
  int result = uncompress(plain, &plainLength, pack, length);
  zfree(pack);
  bool ok = result == Z_OK && fwrite(plain, 1, plainLength, out) == plainLength;
  zfree(plain);
  return fclose(out) == 0 && ok;
}

bool Streamed(const char* source, const char* destination, uint32_t size, bool digests) {
  int in = open(source, O_RDONLY);
  int out = open(destination, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  PackUnpacker unpacker;
  unpacker.Begin(kKey, size, digests ? DigestKind::kSha256 : DigestKind::kNone, out);
  std::vector<uint8_t> piece(kPiece);
  ssize_t count;
  while ((count = read(in, piece.data(), piece.size())) > 0) unpacker.Feed(piece.data(), count);
  bool ok = unpacker.Finish();
  close(in);
  return close(out) == 0 && ok;
}

bool Yardstick(const char* source, const char* destination) {
  int in = open(source, O_RDONLY);
  int out = open(destination, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  RC4_KEY key;
  RC4_set_key(&key, 16, reinterpret_cast<const unsigned char*>(kKey));
  z_stream stream = {};
  inflateInit(&stream);
  std::vector<uint8_t> piece(kPiece), plain(kPiece);
  ssize_t count;
  int code = Z_OK;
  while (code == Z_OK && (count = read(in, piece.data(), piece.size())) > 0) {
    RC4(&key, count, piece.data(), piece.data());
    stream.next_in = piece.data();
    stream.avail_in = count;
    do {
      stream.next_out = plain.data();
      stream.avail_out = plain.size();
      code = inflate(&stream, Z_NO_FLUSH);
      if (write(out, plain.data(), plain.size() - stream.avail_out) < 0) code = Z_ERRNO;
    } while (code == Z_OK && stream.avail_out == 0);
    if (code == Z_BUF_ERROR) code = Z_OK;
  }
  inflateEnd(&stream);
  close(in);
  return close(out) == 0 && code == Z_STREAM_END;
}

// Runs one measurement in this (child) process; prints nothing.
int RunMode(std::string mode, uint32_t size) {
  std::string pack = gDir + "/pack", out = gOut;
  if (mode.compare(0, 5, "bomb:") == 0) {
    // The whole gigabyte with a bound that admits it, or a bound of 1 MiB
    // that stops it (a failure, as it must be).
    bool bounded = mode.find("1MiB") != std::string::npos;
    mode = mode.substr(5, mode.find(' ') - 5);
    pack = gDir + "/bomb";
    out = "/dev/null";
    size = bounded ? 1u << 20 : 1u << 30;
    if (bounded) {
      Updater updater;
      return updater.UnpackFile(pack.c_str(), out.c_str(), kKey, size) ? 1 : 0;
    }
  }
  bool ok = false;
  if (mode == "one-shot") ok = OneShot(pack.c_str(), out.c_str(), size);
  if (mode == "one-shot+sha256") {
    char hex[65];
    ok = OneShot(pack.c_str(), out.c_str(), size) && hash_file("sha256", out.c_str(), hex, 65);
  }
  if (mode == "UnpackFile") {
    Updater updater;
    ok = updater.UnpackFile(pack.c_str(), out.c_str(), kKey, size);
  }
  if (mode == "streamed") ok = Streamed(pack.c_str(), out.c_str(), size, false);
  if (mode == "streamed+sha256") ok = Streamed(pack.c_str(), out.c_str(), size, true);
  if (mode == "yardstick") ok = Yardstick(pack.c_str(), out.c_str());
  return ok ? 0 : 1;
}

// Runs `mode` in a child `runs` times; prints the median and the peak RSS.
void Measure(const char* self, const std::string& mode, size_t megabytes, int runs) {
  std::vector<double> times, cpu;
  long peak = 0;
  for (int run = 0; run < runs; ++run) {
    unlink((gDir + "/out").c_str());
    double start = Now();
    pid_t child = fork();
    if (child == 0) {
      execl(self, self, "--mode", mode.c_str(), gDir.c_str(), std::to_string(megabytes).c_str(),
            gOut.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    struct rusage usage;
    wait4(child, &status, 0, &usage);
    times.push_back(Now() - start);
    cpu.push_back(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
                  (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
    peak = std::max(peak, usage.ru_maxrss);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) printf("%s failed\n", mode.c_str());
  }
  std::sort(times.begin(), times.end());
  std::sort(cpu.begin(), cpu.end());
  double median = times[times.size() / 2];
  printf("%-16s %6.3f s %6.1f MB/s  cpu %6.3f s  peak RSS %6.1f MB\n", mode.c_str(), median,
         megabytes * 1.048576 / median, cpu[cpu.size() / 2], peak / 1024.0);
}

void MeasureRc4() {
  std::vector<uint8_t> buffer(kPiece, 0x5a);
  const size_t total = 256u << 20;
  double best[3] = {};
  for (int round = 0; round < 5; ++round) {
    for (int variant = 0; variant < 3; ++variant) {
      Rc4State state = {};
      rc4_set_key(&state, 16, reinterpret_cast<const uint8_t*>(kKey));
      RC4_KEY key;
      RC4_set_key(&key, 16, reinterpret_cast<const unsigned char*>(kKey));
      double start = Now();
      for (size_t done = 0; done < total; done += kPiece) {
        if (variant == 0) OldRc4(&state, kPiece, buffer.data(), buffer.data());
        if (variant == 1) rc4_crypt(&state, kPiece, buffer.data(), buffer.data());
        if (variant == 2) RC4(&key, kPiece, buffer.data(), buffer.data());
      }
      best[variant] = std::max(best[variant], total / 1e6 / (Now() - start));
    }
  }
  printf("RC4 alone (best of 5, 64 KiB pieces): old %.0f MB/s, new %.0f MB/s, OpenSSL %.0f MB/s\n",
         best[0], best[1], best[2]);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 6 && strcmp(argv[1], "--mode") == 0) {
    gDir = argv[3];
    gOut = argv[5];
    return RunMode(argv[2], static_cast<uint32_t>(atoi(argv[4])) << 20);
  }
  size_t megabytes = argc > 1 ? atoi(argv[1]) : 200;
  int runs = argc > 2 ? atoi(argv[2]) : 3;
  char pattern[] = "/tmp/pack-bench-XXXXXX";
  gDir = mkdtemp(pattern);
  // "null" as the third argument sends the unpacked file to /dev/null, to
  // leave the file system's write costs out.
  gOut = argc > 3 && strcmp(argv[3], "null") == 0 ? "/dev/null" : gDir + "/out";
  MakeFiles(megabytes);
  MeasureRc4();
  for (const char* mode :
       {"one-shot", "UnpackFile", "yardstick", "one-shot+sha256", "streamed+sha256", "streamed"}) {
    Measure("/proc/self/exe", mode, megabytes, runs);
  }
  MakeBomb();
  for (const char* mode : {"bomb:one-shot", "bomb:UnpackFile", "bomb:UnpackFile 1MiB"}) {
    Measure("/proc/self/exe", mode, 1024, runs);
  }
  unlink((gDir + "/bomb").c_str());
  unlink((gDir + "/out").c_str());
  unlink((gDir + "/pack").c_str());
  rmdir(gDir.c_str());
  return 0;
}
