#include "threads.h"

#include <cstdio>
#include <cstdlib>
#include <new>
#include <unordered_set>

#include "GenLib.h"
#include "locks.h"

namespace {

struct Registry {
  RecursiveMutex lock;
  std::unordered_set<ThreadRecord*> threads;
  int32_t count = 0;
};

// Built by the first ThreadRegistryInit (or on first use) in static storage,
// destroyed when the last ThreadRegistryInit goes.
int init_count;
Registry* registry;
alignas(Registry) unsigned char registry_storage[sizeof(Registry)];

Registry& GetRegistry() {
  if (registry == nullptr) registry = new (registry_storage) Registry;
  return *registry;
}

void PrintMatching(bool byId, uint32_t id) {
  Registry& reg = GetRegistry();
  ScopedLock lock(reg.lock);
  printf("Running threads:");
  for (const ThreadRecord* record : reg.threads) {
    if (!byId || record->id == id) printf(" [%s]", record->name);
  }
  printf("\n");
  fflush(stdout);
}

}  // namespace

ThreadRegistryInit::ThreadRegistryInit() {
  if (init_count++ == 0) GetRegistry();
}

ThreadRegistryInit::~ThreadRegistryInit() {
  if (--init_count == 0 && registry != nullptr) {
    registry->~Registry();
    registry = nullptr;
  }
}

ThreadRecord* CreateThread(ThreadStart start, void* argument, const char* name, uint32_t id) {
  if (start == nullptr) return nullptr;
  ThreadRecord* record = static_cast<ThreadRecord*>(calloc(1, sizeof(ThreadRecord)));
  if (record == nullptr) return nullptr;
  Registry& reg = GetRegistry();
  // The lock is held until the thread is detached: a thread that ends at
  // once waits in its remove operation until then, so its record stays valid.
  ScopedLock lock(reg.lock);
  try {
    reg.threads.insert(record);
  } catch (const std::bad_alloc&) {
    free(record);
    return nullptr;
  }
  reg.count++;
  strlcpy(record->name, name ? name : "", sizeof(record->name));
  record->id = id;
  record->argument = argument;
  record->remove = RemoveThread;
  if (pthread_create(&record->thread, nullptr, start, record) != 0) {
    RemoveThread(record);
    return nullptr;
  }
  pthread_detach(record->thread);
  return record;
}

void RemoveThread(ThreadRecord* record) {
  Registry& reg = GetRegistry();
  ScopedLock lock(reg.lock);
  // A record that is no longer registered (already removed, or cancelled
  // while it was removing itself) is left alone.
  if (reg.threads.erase(record) == 0) return;
  free(record);
  reg.count--;
}

bool CancelThread(ThreadRecord* record) {
  Registry& reg = GetRegistry();
  ScopedLock lock(reg.lock);
  if (reg.threads.count(record) == 0) return false;
  if (pthread_cancel(record->thread) != 0) return false;
  RemoveThread(record);
  return true;
}

bool StartThread(ThreadStart start, void* argument) {
  if (start == nullptr) return false;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int error = pthread_create(&thread, &attributes, start, argument);
  pthread_attr_destroy(&attributes);
  return error == 0;
}

void PrintThreads() { PrintMatching(false, 0); }

void PrintThreadsByID(uint32_t id) { PrintMatching(true, id); }

int32_t CountThreads() {
  Registry& reg = GetRegistry();
  ScopedLock lock(reg.lock);
  return reg.count;
}

int32_t CountThreadsByID(uint32_t id) {
  Registry& reg = GetRegistry();
  ScopedLock lock(reg.lock);
  int32_t count = 0;
  for (const ThreadRecord* record : reg.threads) {
    if (record->id == id) count++;
  }
  return count;
}
