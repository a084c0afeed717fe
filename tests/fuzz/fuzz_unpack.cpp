// Fuzz target: unpacking a pack. The input's first bytes choose how, the rest
// is the pack, written to a file in the temporary directory:
//   byte 0      bit 7: unpack in place (one path for source and destination,
//               as the update does); bits 0-4: key length, modulo 17
//   bytes 1-2   the size bound of the unpacked file, little-endian
//   then        the key bytes (a zero byte ends the key text early)
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "updater.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::KeepTlsUp();
  const size_t keyLength = size > 0 ? (data[0] & 0x1F) % 17 : 0, header = 3 + keyLength;
  if (size < header) return 0;
  char key[17] = {};
  memcpy(key, data + 3, keyLength);
  fuzz::InputScope scope;
  const std::string source = fuzz::Dir() + "/file.pak";
  const std::string destination = (data[0] & 0x80) ? source : fuzz::Dir() + "/file";
  const char* pack = reinterpret_cast<const char*>(data) + header;
  if (!e2e::WriteFile(source, std::string(pack, size - header))) fuzz::Die("pack");
  {
    Updater updater;
    updater.UnpackFile(source.c_str(), destination.c_str(), key, data[1] | (data[2] << 8));
  }
  remove(source.c_str());
  remove(destination.c_str());
  return 0;
}
