#define MEMLEAK_SOURCE "ini-reader"
// The text a write leaves. One key is set by one walk over the lines. Many
// keys must leave exactly what setting them one after the other would: for
// keys and a section that read back as themselves that is worked out in one
// walk of its own; any other write is made one key at a time.
#include <algorithm>
#include <cstring>

#include "ini-reader-internal.h"
#include "memleak.h"

namespace ini_reader {
namespace {

void AppendLine(OutText* out, const char* line) {
  Append(out, line);
  Append(out, "\r\n", 2);
}

void AppendEntry(OutText* out, const char* key, const char* value) {
  Append(out, key);
  Append(out, "=", 1);
  Append(out, value);
  Append(out, "\r\n", 2);
}

// Writes the normalised old text back with one entry set: every entry of the
// key in the section is replaced; without one the entry closes the section,
// followed by one empty line; without the section, it is appended.
void RewriteOne(char* text, const char* section, const char* key, const char* value, OutText* out) {
  bool inSection = false;
  bool written = false;
  char* rest = nullptr;
  for (char* line = strtok_r(text, "\n", &rest); line != nullptr;
       line = strtok_r(nullptr, "\n", &rest)) {
    if (!inSection) {
      inSection = HeaderMatches(line, section);
      AppendLine(out, line);
    } else if (IsHeader(line)) {
      if (!written) {
        AppendEntry(out, key, value);
        Append(out, "\r\n", 2);
        written = true;
      }
      inSection = false;
      AppendLine(out, line);
    } else if (EntryHasKey(line, key, nullptr)) {
      AppendEntry(out, key, value);
      written = true;
    } else {
      AppendLine(out, line);
    }
  }
  if (written) return;
  if (!inSection) {
    Append(out, "[", 1);
    Append(out, section);
    Append(out, "]\r\n", 3);
  }
  AppendEntry(out, key, value);
}

// Normalisation leaves these alone, so their lines read back as written.
bool IsPlainSection(const char* section) {
  return strchr(section, '\t') == nullptr && strstr(section, "  ") == nullptr;
}

// A key whose line "key=value" is an entry with exactly this key, whatever
// the value: not empty, no "=", no "[" first, nothing normalisation or
// trimming would change.
bool IsPlainKey(const char* key) {
  size_t length = strlen(key);
  return length > 0 && key[0] != '[' && key[0] != ' ' && key[length - 1] != ' ' &&
         strpbrk(key, "=\t") == nullptr && strstr(key, "  ") == nullptr;
}

// Many plain keys in one walk. A region is a run of lines that writes search:
// after a header matching the section, up to the next header. Writes of keys
// equal without regard to case act on the same entries, so they form one
// class. What the writes one after the other would leave:
//  - every entry of a class in the section's regions holds the class's last
//    write (the later writes rewrite it);
//  - a class without an entry in the first region gets one closing that
//    region (each write of it finds the one its first write put there), in
//    the order of first writes; the empty line after such entries is the
//    last write's only, when it was one of them;
//  - without any region, the first write appends the section, which then is
//    the first region, ending the file;
//  - a line written by the last write stays as given; every other line was
//    normalised by a later write.
class ManyKeys {
 public:
  ManyKeys(const char* const* keys, const char* const* values, size_t count, OutText* out)
      : keys(keys), values(values), count(count), out(out) {}
  ~ManyKeys() {
    if (block != nullptr) zfree(block);
  }
  ManyKeys(const ManyKeys&) = delete;
  ManyKeys& operator=(const ManyKeys&) = delete;

  // False when the heap cannot hold the classes.
  bool Classify();
  void Walk(char* text, const char* section);

 private:
  size_t ClassOf(const char* line) const;  // `classes` when none
  void EmitEntry(size_t klass);
  void EmitInsertions(bool closing);

  const char* const* keys;
  const char* const* values;
  size_t count;
  OutText* out;
  void* block = nullptr;
  uint32_t* classOf = nullptr;  // per write
  uint32_t* first = nullptr;    // per class: its first write; classes in key order
  uint32_t* last = nullptr;     // per class: its last write
  uint8_t* seen = nullptr;      // per class: has an entry in the first region
  size_t classes = 0;
};

bool ManyKeys::Classify() {
  // Per write: its place in key order, its class, a class's first and last
  // write, a class's seen mark.
  constexpr size_t kBytesPerWrite = 4 * sizeof(uint32_t) + sizeof(uint8_t);
  if (count > UINT32_MAX / kBytesPerWrite) return false;
  block = zmalloc(static_cast<uint32_t>(count * kBytesPerWrite));
  if (block == nullptr) return false;
  uint32_t* order = static_cast<uint32_t*>(block);
  classOf = order + count;
  first = classOf + count;
  last = first + count;
  seen = reinterpret_cast<uint8_t*>(last + count);
  for (size_t i = 0; i < count; ++i) order[i] = static_cast<uint32_t>(i);
  std::sort(order, order + count, [this](uint32_t a, uint32_t b) {
    int byKey = strcasecmp(keys[a], keys[b]);
    return byKey != 0 ? byKey < 0 : a < b;
  });
  for (size_t i = 0; i < count; ++i) {
    uint32_t write = order[i];
    if (i == 0 || strcasecmp(keys[first[classes - 1]], keys[write]) != 0) {
      first[classes++] = write;
    }
    last[classes - 1] = write;
    classOf[write] = static_cast<uint32_t>(classes - 1);
  }
  return true;
}

size_t ManyKeys::ClassOf(const char* line) const {
  Span key;
  Span value;
  if (!SplitEntry(line, &key, &value) || key.length == 0) return classes;
  size_t low = 0;
  size_t high = classes;
  while (low < high) {
    size_t middle = low + (high - low) / 2;
    int order = CompareKey(key, keys[first[middle]]);
    if (order == 0) return middle;
    if (order < 0) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return classes;
}

void ManyKeys::EmitEntry(size_t klass) {
  size_t write = last[klass];
  Append(out, keys[write]);
  Append(out, "=", 1);
  if (write + 1 == count) {
    Append(out, values[write]);
  } else {
    AppendNormalised(out, values[write]);  // the plain key is its own normal form
  }
  Append(out, "\r\n", 2);
}

void ManyKeys::EmitInsertions(bool closing) {
  for (size_t write = 0; write < count; ++write) {
    uint32_t klass = classOf[write];
    if (first[klass] == write && !seen[klass]) EmitEntry(klass);
  }
  uint32_t lastClass = classOf[count - 1];
  if (closing && first[lastClass] == count - 1 && !seen[lastClass]) Append(out, "\r\n", 2);
}

void ManyKeys::Walk(char* text, const char* section) {
  size_t regions = 0;
  bool inSection = false;
  char* rest = nullptr;
  for (char* line = strtok_r(text, "\n", &rest); line != nullptr;
       line = strtok_r(nullptr, "\n", &rest)) {
    if (!inSection) {
      inSection = HeaderMatches(line, section);
      if (inSection) ++regions;
      AppendLine(out, line);
    } else if (IsHeader(line)) {
      if (regions == 1) EmitInsertions(true);
      inSection = false;
      AppendLine(out, line);
    } else {
      size_t klass = ClassOf(line);
      if (klass == classes) {
        AppendLine(out, line);
        continue;
      }
      if (regions == 1) seen[klass] = 1;
      EmitEntry(klass);
    }
  }
  if (regions == 0) {
    Append(out, "[", 1);
    Append(out, section);
    Append(out, "]\r\n", 3);
  }
  if (regions == 0 || (regions == 1 && inSection)) EmitInsertions(false);
}

// One write after the other, each on the normalised text the one before left.
bool RewriteEach(char* text, const char* section, const char* const* keys,
                 const char* const* values, size_t count, OutText* out) {
  for (size_t i = 0;; ++i) {
    RewriteOne(text, section, keys[i], values[i], out);
    zfree(text);
    if (out->failed) return false;
    if (i + 1 == count) return true;
    text = NormalisedCopy(out->data);
    FreeOutText(out);
    if (text == nullptr) return false;
  }
}

}  // namespace

bool BuildWrittenText(char* text, const char* section, const char* const* keys,
                      const char* const* values, size_t count, OutText* out) {
  if (count == 0) {
    zfree(text);
    return false;
  }
  // One key always takes the walk of one key, the measure of the other.
  bool plain = count > 1 && IsPlainSection(section);
  for (size_t i = 0; plain && i < count; ++i) plain = IsPlainKey(keys[i]);
  if (!plain) return RewriteEach(text, section, keys, values, count, out);
  ManyKeys writes(keys, values, count, out);
  if (!writes.Classify()) out->failed = true;
  if (!out->failed) writes.Walk(text, section);
  zfree(text);
  return !out->failed;
}

}  // namespace ini_reader
