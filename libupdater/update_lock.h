// The lock that keeps two updaters off one base directory: an exclusive
// flock on a descriptor of the base directory itself, so there is no lock
// file that another account could plant, remove or point elsewhere. The
// kernel releases it when the process ends, however it ends.
//
// Thread-safety: an UpdateLock is used by one thread at a time (the
// Updater's own lock guards the one it holds).
#ifndef UPDATER_LIBUPDATER_UPDATE_LOCK_H_
#define UPDATER_LIBUPDATER_UPDATE_LOCK_H_

#include <string>

class UpdateLock {
 public:
  UpdateLock() = default;
  // Releases the lock.
  ~UpdateLock() { Release(); }
  UpdateLock(const UpdateLock&) = delete;
  UpdateLock& operator=(const UpdateLock&) = delete;

  // Takes the lock on the directory `path` without waiting, releasing one
  // held before. Returns 0 when it is held, EWOULDBLOCK when another process
  // holds it, or the errno value of opening the directory. A filesystem that
  // cannot lock at all counts as held: an update there must still be
  // possible.
  int Take(const std::string& path);
  void Release();

 private:
  int fd_ = -1;
};

#endif  // UPDATER_LIBUPDATER_UPDATE_LOCK_H_
