// The library versions: OpenSSL and zlib report the library loaded at run
// time; TinyXML has no such call, so its header's version is what was built.
#include "versions.h"

#include <openssl/crypto.h>
#include <tinyxml.h>
#include <zlib.h>

#include <cstdio>

std::string UpdaterLibraryVersions() {
  char tinyxml[32];
  snprintf(tinyxml, sizeof(tinyxml), "TinyXML %d.%d.%d\n", TIXML_MAJOR_VERSION,
           TIXML_MINOR_VERSION, TIXML_PATCH_VERSION);
  return std::string(OpenSSL_version(OPENSSL_VERSION)) + "\nzlib " + zlibVersion() + "\n" +
         tinyxml;
}
