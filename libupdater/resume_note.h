// The note kept beside a pack in the pack directory while it may be partial:
// which entry of the update information the pack belongs to (its URL, the
// digests of the pack and of the file, the file's size bound). A later run
// continues a partial pack only when the note is there and says exactly what
// that run's entry says; anything else (no note, another entry, a note that
// cannot be read, a link in its place) means starting the pack over, so bytes
// of one pack are never appended to another.
//
// The note is named after its pack plus kResumeNoteSuffix. It is created
// afresh and read without following links, and read with a hard bound.
//
// Thread-safety: no shared state; notes of different packs may be handled on
// different threads at once.
#ifndef UPDATER_LIBUPDATER_RESUME_NOTE_H_
#define UPDATER_LIBUPDATER_RESUME_NOTE_H_

#include <string>

struct UpdateFile;

extern const char kResumeNoteSuffix[];

// The note's whole text for `file`'s entry; two entries give the same text
// only when they name the same pack.
std::string ResumeNoteText(const UpdateFile& file);

// Writes the note of the pack `pack` in the directory `packDir`, replacing
// whatever has its name. False when it cannot be written whole; a pack
// without its note is simply never continued.
bool WriteResumeNote(int packDir, const std::string& pack, const std::string& text);
// True when the note of `pack` is a regular file holding exactly `text`.
bool ResumeNoteMatches(int packDir, const std::string& pack, const std::string& text);
// Deletes the note of `pack`, if there is one.
void RemoveResumeNote(int packDir, const std::string& pack);

#endif  // UPDATER_LIBUPDATER_RESUME_NOTE_H_
