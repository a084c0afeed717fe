// The versions of the libraries the engine is built with, for a program's
// version output. Safe on any thread.
#ifndef UPDATER_LIBUPDATER_VERSIONS_H_
#define UPDATER_LIBUPDATER_VERSIONS_H_

#include <string>

// One line per library, each ending in '\n': OpenSSL's own version text (of
// the library loaded at run time), zlib's and TinyXML's.
std::string UpdaterLibraryVersions();

#endif  // UPDATER_LIBUPDATER_VERSIONS_H_
