#define MEMLEAK_SOURCE "libupdater"
// Package groups and file entries: the record tests, the pending-work rules,
// the selection and the display order of the group list.
#include <strings.h>
#include <unistd.h>

#include <algorithm>

#include "base_dir.h"
#include "memleak.h"
#include "updater.h"

bool UpdateFile::WantsInstall() const {
  return std::any_of(groups.begin(), groups.end(),
                     [](const UpdateGroup* group) { return group->state == Install; });
}

bool UpdateFile::WantsRemoval() const {
  return !groups.empty() && std::all_of(groups.begin(), groups.end(), [](const UpdateGroup* group) {
    return group->state == Remove;
  });
}

bool UpdateFile::BelongsTo(const UpdateGroup* group) const {
  return std::find(groups.begin(), groups.end(), group) != groups.end();
}

void UpdateFile::AddGroup(UpdateGroup* group) {
  if (group != nullptr) groups.push_back(group);
}

bool Updater::IsToInstall(const UpdateFile* file) {
  ScopedLock lock(this->lock);
  return file->needsUpdate && (file->groups.empty() || file->WantsInstall());
}

bool Updater::IsMarkedForDeletion(const UpdateFile* file) {
  ScopedLock lock(this->lock);
  if (!file->WantsRemoval()) return false;
  // Through the base directory's link rules; a refused link counts as
  // present, so that the deletion reports it.
  BaseDir base;
  PathError error;
  return base.Open(baseDir, &error) && base.Exists(file->path, &error);
}

int32_t Updater::CountPending(const UpdateFile* file) {
  // A file with an Install group is never all Remove, so at most one holds.
  return (IsToInstall(file) || IsMarkedForDeletion(file)) ? 1 : 0;
}

void Updater::SetGroupState(UpdateGroup* group, GroupState state) {
  ScopedLock lock(this->lock);
  if (group != nullptr) group->state = state;
  pendingCount = 0;
  for (UpdateFile* file = files; file != nullptr; file = file->next) {
    pendingCount += CountPending(file);
  }
}

void Updater::SetAllGroupStates(GroupState state) {
  ScopedLock lock(this->lock);
  for (UpdateGroup* group = groups; group != nullptr; group = group->next) group->state = state;
  SetGroupState(nullptr, state);
}

bool Updater::HasWork() {
  ScopedLock lock(this->lock);
  return pendingCount > 0 || !outdatedFiles.empty();
}

UpdateGroup* Updater::FindGroup(const char* name) {
  ScopedLock lock(this->lock);
  if (name == nullptr) return nullptr;
  for (UpdateGroup* group = groups; group != nullptr; group = group->next) {
    if (strcasecmp(group->name.c_str(), name) == 0) return group;
  }
  return nullptr;
}

namespace {

// True when `a` goes before `b`: higher priority first, then display names
// in ASCII case-folded byte order, a prefix before the longer name.
bool GoesBefore(const UpdateGroup* a, const UpdateGroup* b) {
  if (a->priority != b->priority) return a->priority > b->priority;
  const std::string& x = a->displayName;
  const std::string& y = b->displayName;
  size_t common = std::min(x.size(), y.size());
  for (size_t i = 0; i < common; ++i) {
    unsigned char cx = x[i];
    unsigned char cy = y[i];
    if (cx >= 'A' && cx <= 'Z') cx += 'a' - 'A';
    if (cy >= 'A' && cy <= 'Z') cy += 'a' - 'A';
    if (cx != cy) return cx < cy;
  }
  return x.size() < y.size();
}

// Cuts the first `count` records off the list at `head` and returns the rest.
UpdateGroup* Split(UpdateGroup* head, size_t count) {
  for (size_t i = 1; head != nullptr && i < count; ++i) head = head->next;
  if (head == nullptr) return nullptr;
  UpdateGroup* rest = head->next;
  head->next = nullptr;
  return rest;
}

// Merges two sorted runs after `tail` and returns the new tail. On a tie the
// record of the later run goes first, so equal groups end up in reverse
// document order.
UpdateGroup* Merge(UpdateGroup* left, UpdateGroup* right, UpdateGroup* tail) {
  while (left != nullptr && right != nullptr) {
    UpdateGroup** pick = GoesBefore(left, right) ? &left : &right;
    tail->next = *pick;
    *pick = (*pick)->next;
    tail = tail->next;
  }
  tail->next = left != nullptr ? left : right;
  while (tail->next != nullptr) tail = tail->next;
  return tail;
}

}  // namespace

void Updater::SortGroups() {
  if (groups == nullptr || groups->next == nullptr) return;
  UpdateGroup anchor;
  anchor.next = groups;
  size_t length = 0;
  for (UpdateGroup* group = groups; group != nullptr; group = group->next) ++length;
  // Bottom-up: merge neighbouring runs of 1, 2, 4, ... records.
  for (size_t width = 1; width < length; width *= 2) {
    UpdateGroup* rest = anchor.next;
    UpdateGroup* tail = &anchor;
    while (rest != nullptr) {
      UpdateGroup* left = rest;
      UpdateGroup* right = Split(left, width);
      rest = Split(right, width);
      tail = Merge(left, right, tail);
    }
  }
  // Relink the backward pointers and the ends.
  groups = anchor.next;
  UpdateGroup* prev = nullptr;
  for (UpdateGroup* group = groups; group != nullptr; group = group->next) {
    group->prev = prev;
    prev = group;
  }
  groupsTail = prev;
}
