// updater-publish: turns a release directory and its description into the
// update-info document and the packs, laid out as a web server serves them.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "description.h"
#include "publisher.h"
#include "signing.h"

namespace {

const char kUsage[] =
    "Usage: updater-publish [options] RELEASE_DIR DESCRIPTION OUTPUT_DIR\n"
    "       updater-publish --new-key NAME\n"
    "\n"
    "Packs every file under RELEASE_DIR and writes the update-info document\n"
    "OUTPUT_DIR/updates/quillon<line>-<type>-<platform>.info and the packs\n"
    "under OUTPUT_DIR/<PackDir>/, as a web server serving OUTPUT_DIR offers them.\n"
    "\n"
    "  -b, --base-url URL     URL at which OUTPUT_DIR is served (else BaseURL)\n"
    "  -g, --generation N     write a generation 1 or 2 document (else generation)\n"
    "      --sign-key FILE    sign the document with this Ed25519 private key into\n"
    "                         <document>.sig (repeatable, for key rotation)\n"
    "      --serial N         the document's serial (else the time in seconds since 1970)\n"
    "      --valid-days N     the document expires N days from now\n"
    "  -q, --quiet            print only errors\n"
    "  -h, --help             this text\n"
    "      --new-key NAME     write a new key pair NAME.key and NAME.pub, print its\n"
    "                         key id, and publish nothing\n";

// Values of the long-only options, outside the range of option characters.
enum : int { kNewKey = 256, kSignKey, kSerial, kValidDays };

// What the command line asks for, apart from the publishing options.
struct Command {
  std::string newKey;  // --new-key NAME: make a key pair instead of publishing
  std::vector<std::string> arguments;
};

// A decimal number of at most `digits` digits, nothing else.
bool ParseCount(const char* text, size_t digits, int64_t* value) {
  size_t length = strlen(text);
  if (length == 0 || length > digits || strspn(text, "0123456789") != length) return false;
  *value = strtoll(text, nullptr, 10);
  return true;
}

bool ReadText(const char* path, std::string* text) {
  FILE* file = fopen(path, "rb");
  if (file == nullptr) return false;
  char buffer[4096];
  size_t got;
  text->clear();
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
    text->append(buffer, got);
    if (text->size() > (1u << 24)) break;  // a description is small
  }
  bool ok = ferror(file) == 0 && text->size() <= (1u << 24);
  fclose(file);
  return ok;
}

int Fail(const std::string& message) {
  fprintf(stderr, "updater-publish: %s\n", message.c_str());
  return 1;
}

// Applies one option; returns -1 to go on, or the exit status.
int ApplyOption(int c, const char* value, Command* command, PublishOptions* options) {
  int64_t number = 0;
  std::string error;
  switch (c) {
    case 'b':
      options->baseUrl = value;
      return -1;
    case 'g':
      if (strcmp(value, "1") != 0 && strcmp(value, "2") != 0) {
        return Fail("the generation must be 1 or 2");
      }
      options->generation = atoi(value);
      return -1;
    case 'q':
      options->log = nullptr;
      return -1;
    case 'h':
      fputs(kUsage, stdout);
      return 0;
    case kNewKey:
      command->newKey = value;
      return -1;
    case kSignKey:
      options->signingKeys.emplace_back();
      return LoadSigningKey(value, &options->signingKeys.back(), &error) ? -1 : Fail(error);
    case kSerial:
      if (!ParseCount(value, 18, &options->serial))
        return Fail("the serial must be a decimal number");
      return -1;
    case kValidDays:
      if (!ParseCount(value, 5, &number) || number == 0) {
        return Fail("--valid-days needs a number of days from 1 to 99999");
      }
      options->validDays = static_cast<int>(number);
      return -1;
    default:
      fputs(kUsage, stderr);
      return 2;
  }
}

// Parses the command line; returns -1 to go on, or the exit status.
int ParseArguments(int argc, char** argv, Command* command, PublishOptions* options) {
  static const option kLong[] = {{"base-url", required_argument, nullptr, 'b'},
                                 {"generation", required_argument, nullptr, 'g'},
                                 {"quiet", no_argument, nullptr, 'q'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"new-key", required_argument, nullptr, kNewKey},
                                 {"sign-key", required_argument, nullptr, kSignKey},
                                 {"serial", required_argument, nullptr, kSerial},
                                 {"valid-days", required_argument, nullptr, kValidDays},
                                 {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "b:g:qh", kLong, nullptr)) != -1) {
    int status = ApplyOption(c, optarg, command, options);
    if (status >= 0) return status;
  }
  command->arguments.assign(argv + optind, argv + argc);
  size_t wanted = command->newKey.empty() ? 3 : 0;
  if (command->arguments.size() != wanted) {
    fputs(kUsage, stderr);
    return 2;
  }
  return -1;
}

int NewKey(const std::string& name) {
  std::string id, error;
  if (!NewKeyPair(name, &id, &error)) return Fail(error);
  printf("wrote %s.key (private: keep it secret) and %s.pub\nkey id %s\n", name.c_str(),
         name.c_str(), id.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Command command;
  PublishOptions options;
  options.log = stdout;
  int status = ParseArguments(argc, argv, &command, &options);
  if (status >= 0) return status;
  if (!command.newKey.empty()) return NewKey(command.newKey);
  const std::string& descriptionPath = command.arguments[1];
  options.releaseDir = command.arguments[0];
  options.outputDir = command.arguments[2];
  std::string text, error;
  if (!ReadText(descriptionPath.c_str(), &text)) {
    return Fail("cannot read the description " + descriptionPath);
  }
  ReleaseDescription description;
  if (!ParseDescription(text, &description, &error)) return Fail(descriptionPath + ": " + error);
  if (!MakeDirectories(options.outputDir)) {
    return Fail("cannot create the output directory " + options.outputDir);
  }
  if (!Publish(description, options, &error)) return Fail(error);
  return 0;
}
