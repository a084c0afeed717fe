// Registry of named, detached worker threads.
//
// A registered thread receives its ThreadRecord as its argument and finds the
// caller's argument, its name and id there; as its last action it calls
// record->remove(record). All operations are thread-safe (one registry lock).
// The registry exists before main() and is destroyed at exit.
#ifndef UPDATER_SRC_THREADS_H_
#define UPDATER_SRC_THREADS_H_

#include <pthread.h>

#include <cstdint>

struct ThreadRecord;
typedef void* (*ThreadStart)(void*);

struct ThreadRecord {
  pthread_t thread;
  uint32_t id;     // caller-chosen group number
  void* argument;  // the caller's argument for the thread
  char name[256];
  void (*remove)(ThreadRecord* record);
};

// Creates and registers a detached thread running `start(record)`. `name` may
// be null (kept as empty text, cut to 255 characters). Returns the record
// (plain heap, owned by the registry; it is freed when the thread removes
// itself, so the caller may use it only while the thread is known to run) or
// null when the thread cannot be created (no record is left behind).
ThreadRecord* CreateThread(ThreadStart start, void* argument, const char* name, uint32_t id);
// Unregisters and frees the record; a record that is not registered (already
// removed) is left alone.
void RemoveThread(ThreadRecord* record);
// Cancels the thread of a registered record; on success unregisters it and
// returns true. False when cancelling fails or the record is not registered.
bool CancelThread(ThreadRecord* record);
// Starts a detached thread without registering it.
bool StartThread(ThreadStart start, void* argument);
// "Running threads:" and " [name]" per thread, then a line end, to stdout.
void PrintThreads();
void PrintThreadsByID(uint32_t id);
// The number of registered threads, all or of one id.
int32_t CountThreads();
int32_t CountThreadsByID(uint32_t id);

// Keeps the registry alive from before the first static constructor of any
// translation unit that includes this header until after its last destructor.
class ThreadRegistryInit {
 public:
  ThreadRegistryInit();
  ~ThreadRegistryInit();
};
static ThreadRegistryInit thread_registry_init_instance;

#endif  // UPDATER_SRC_THREADS_H_
