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
  uint32_t id;       // caller-chosen group number
  void* argument;    // the caller's argument for the thread
  char name[256];
  void (*remove)(ThreadRecord* record);
};

// Creates and registers a detached thread running `start(record)`. Returns the
// record (plain heap, owned by the registry) or null when the thread cannot be
// created (no record is left behind).
ThreadRecord* CreateThread(ThreadStart start, void* argument, const char* name, uint32_t id);
// Unregisters and frees the record.
void RemoveThread(ThreadRecord* record);
// Cancels the thread; on success unregisters it and returns true.
bool CancelThread(ThreadRecord* record);
// Starts a detached thread without registering it.
bool StartThread(ThreadStart start, void* argument);
// "Running threads:" and " [name]" per thread, then a line end, to stdout.
void PrintThreads();
void PrintThreadsByID(uint32_t id);
int32_t CountThreads();
int32_t CountThreadsByID(uint32_t id);

class ThreadRegistryInit {
 public:
  ThreadRegistryInit();
  ~ThreadRegistryInit();
};
static ThreadRegistryInit thread_registry_init_instance;

#endif  // UPDATER_SRC_THREADS_H_
