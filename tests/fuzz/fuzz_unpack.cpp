// Fuzz target: unpacking a pack written to a file. The input: a byte (bit 7:
// in place, as the update does; bits 0-4: the key's length, modulo 17), the
// size bound of the unpacked file (two bytes, little-endian), the key (a zero
// byte ends its text early), then the pack.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz/fuzz_util.h"
#include "updater.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
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
