// printf into a std::string, for the engine's messages.
//
// Thread-safety: no shared state.
#ifndef UPDATER_LIBUPDATER_TEXT_FORMAT_H_
#define UPDATER_LIBUPDATER_TEXT_FORMAT_H_

#include <string>

// The text that printf would print for `format` and its arguments, whole
// however long it is (empty when the format itself is bad).
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // UPDATER_LIBUPDATER_TEXT_FORMAT_H_
