// Fuzz target: unpacking a pack. The first bytes of an input choose how the
// pack is unpacked, the rest is the pack, written to a file in a temporary
// directory:
//   byte 0      bit 7: unpack in place (source and destination one path, as
//               the update does); bits 0-4: key length, taken modulo 17
//   bytes 1-2   the size bound of the unpacked file, little-endian
//   then        the key bytes (a zero byte ends the key text early)
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "sockets3.h"
#include "updater.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const fuzz::TempDir dir;
  static Velmar_Sockets3* keeper = new Velmar_Sockets3();  // see fuzz_info.cpp
  (void)keeper;
  if (size < 3) return 0;
  const bool inPlace = (data[0] & 0x80) != 0;
  const size_t keyLength = (data[0] & 0x1F) % 17;
  const uint32_t bound = data[1] | (static_cast<uint32_t>(data[2]) << 8);
  if (size < 3 + keyLength) return 0;
  char key[17] = {};
  memcpy(key, data + 3, keyLength);
  const size_t header = 3 + keyLength;
  const std::string pack(reinterpret_cast<const char*>(data) + header, size - header);

  fuzz::InsideDir inside(dir);
  fuzz::TrackedLeakCheck leaks;
  const std::string source = dir / "file.pak";
  const std::string destination = inPlace ? source : dir / "file";
  dir.Put("file.pak", pack);
  {
    Updater updater;
    updater.UnpackFile(source.c_str(), destination.c_str(), key, bound);
  }
  remove(source.c_str());
  remove(destination.c_str());
  return 0;
}
