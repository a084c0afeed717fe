// Trusted keys compiled into the program: the raw Ed25519 public keys of the
// PEM files named by the CMake option UPDATER_TRUSTED_KEYS, in a source file
// that CMake generates (cmake/TrustedKeys.cmake). A vendor's build thus
// verifies its update info by default; the default build holds no key.
// Constant data; safe on any thread.
#ifndef UPDATER_CLI_BUILTIN_KEYS_H_
#define UPDATER_CLI_BUILTIN_KEYS_H_

#include <cstddef>
#include <cstdint>

#include "trust.h"

// kBuiltInTrustKeyCount rows of raw key bytes (at least one row is defined,
// so that the array is never empty; rows past the count mean nothing).
extern const uint8_t kBuiltInTrustKeys[][kTrustKeySize];
extern const size_t kBuiltInTrustKeyCount;

#endif  // UPDATER_CLI_BUILTIN_KEYS_H_
