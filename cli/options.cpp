#include "options.h"

#include <getopt.h>
#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "GenLib.h"
#include "versions.h"

const char kDefaultServer[] = "update.tessaworks.com";
const char kDefaultPlatform[] = "centos7.x86_64";

namespace {

// getopt_long's values for the long-only options, outside the range of
// option characters.
constexpr int kServerOption = 256;
constexpr int kTrustKeyOption = 257;
constexpr int kJobsOption = 258;
constexpr int kRetriesOption = 259;
constexpr int kSpeedLimitOption = 260;
constexpr int kSpeedTimeOption = 261;
constexpr int kCaFileOption = 262;
constexpr int kCheckOption = 263;

const char kShortOptions[] = "345and:hp:t:V";

const struct option kLongOptions[] = {
    {"all", no_argument, nullptr, 'a'},
    {"no-any-key", no_argument, nullptr, 'n'},
    {"dir", required_argument, nullptr, 'd'},
    {"help", no_argument, nullptr, 'h'},
    {"server", required_argument, nullptr, kServerOption},
    {"version", no_argument, nullptr, 'V'},
    {"trust-key", required_argument, nullptr, kTrustKeyOption},
    {"jobs", required_argument, nullptr, kJobsOption},
    {"retries", required_argument, nullptr, kRetriesOption},
    {"speed-limit", required_argument, nullptr, kSpeedLimitOption},
    {"speed-time", required_argument, nullptr, kSpeedTimeOption},
    {"ca-file", required_argument, nullptr, kCaFileOption},
    {"check", no_argument, nullptr, kCheckOption},
    {nullptr, 0, nullptr, 0},
};

// The entry of a long option that has no short form, or null.
const struct option* LongOnly(int option) {
  for (const struct option* entry = kLongOptions; entry->name != nullptr; ++entry) {
    if (entry->val == option && option >= kServerOption) return entry;
  }
  return nullptr;
}

// The message for an option that getopt_long refused. getopt_long reports
// an option byte above 127 as a negative char value; it is shown as its byte.
void ReportBadOption(int option, FILE* err) {
  if (option < 0 && option >= -128) option += 256;
  if (option == 'd' || option == 'p' || option == 't') {
    fprintf(err, "Option -%c requires an argument.\n", option);
  } else if (const struct option* entry = LongOnly(option)) {
    // getopt_long also refuses "--check=VALUE" this way.
    fprintf(err,
            entry->has_arg == no_argument ? "Option --%s takes no argument.\n"
                                          : "Option --%s requires an argument.\n",
            entry->name);
  } else if (option >= 0 && option < 128 && isprint(option)) {
    fprintf(err, "Unknown option `-%c'.\n", option);
  } else {
    fprintf(err, "Unknown option character `\\x%x'.\n", option);
  }
}

// -t: "full" or "basic" in any case, stored in lower case.
void SetInstallType(const char* value, CliSettings* settings, FILE* err) {
  if (strcasecmp(value, "full") == 0) {
    strlcpy(settings->installType, "full", sizeof(settings->installType));
  } else if (strcasecmp(value, "basic") == 0) {
    strlcpy(settings->installType, "basic", sizeof(settings->installType));
  } else {
    fprintf(err, "Unknown type, must be -t basic or -t full\n");
  }
}

// -d: the directory must fit together with the '/' that may be appended. An
// empty one would become "/": a script whose variable came out empty would
// install and delete under the root of the filesystem.
bool SetBaseDir(const char* value, CliSettings* settings, FILE* err) {
  size_t length = strlen(value);
  if (length == 0) {
    fprintf(err, "Option -d: the directory name is empty.\n");
    return false;
  }
  bool endsInSlash = length > 0 && value[length - 1] == '/';
  if (length > kMaxBaseDir + (endsInSlash ? 1 : 0)) {
    fprintf(err, "Option -d: the directory name is longer than %zu characters.\n", kMaxBaseDir);
    return false;
  }
  strlcpy(settings->baseDir, value, sizeof(settings->baseDir));
  return true;
}

// -p: at most 31 characters.
bool SetPlatform(const char* value, CliSettings* settings, FILE* err) {
  if (strlen(value) > kMaxPlatform) {
    fprintf(err, "Option -p: the platform name is longer than %zu characters.\n", kMaxPlatform);
    return false;
  }
  strlcpy(settings->platform, value, sizeof(settings->platform));
  return true;
}

// --server [http://|https://]HOST[:PORT]: not empty, no further '/', no
// blanks, bounded.
bool SetServer(const char* value, CliSettings* settings, FILE* err) {
  const char* host = value;
  settings->secure = strncasecmp(value, "https://", 8) == 0;
  if (settings->secure) {
    host += 8;
  } else if (strncasecmp(value, "http://", 7) == 0) {
    host += 7;
  }
  if (*host == '\0') {
    fprintf(err, "Option --server: the server name is empty.\n");
    return false;
  }
  for (const char* p = host; *p != '\0'; ++p) {
    if (*p == '/' || isspace(static_cast<unsigned char>(*p))) {
      fprintf(err, "Option --server: `%s' is not HOST or HOST:PORT.\n", value);
      return false;
    }
  }
  if (strlen(host) > kMaxServer) {
    fprintf(err, "Option --server: the server name is longer than %zu characters.\n", kMaxServer);
    return false;
  }
  strlcpy(settings->server, host, sizeof(settings->server));
  return true;
}

// --ca-file FILE: bounded, and readable now, so that a wrong name stops the
// run before anything is fetched. Whether it holds certificates shows at
// the first https transfer.
bool SetCaFile(const char* path, CliSettings* settings, FILE* err) {
  if (strlen(path) > kMaxCaFile) {
    fprintf(err, "Option --ca-file: the file name is longer than %zu characters.\n", kMaxCaFile);
    return false;
  }
  FILE* file = fopen(path, "rb");
  if (file != nullptr && (fgetc(file) != EOF || !ferror(file))) {
    fclose(file);
    strlcpy(settings->caFile, path, sizeof(settings->caFile));
    return true;
  }
  fprintf(err, "Option --ca-file: cannot read %s: %s.\n", path, strerror(errno));
  if (file != nullptr) fclose(file);
  return false;
}

// --trust-key FILE: an Ed25519 public key in PEM form, read now.
bool AddTrustKey(const char* path, CliSettings* settings, FILE* err) {
  if (settings->trustKeyCount >= kMaxTrustKeys) {
    fprintf(err, "Option --trust-key: at most %zu keys.\n", kMaxTrustKeys);
    return false;
  }
  std::string error;
  if (!trust_read_key_file(path, &settings->trustKeys[settings->trustKeyCount], &error)) {
    fprintf(err, "Option --trust-key: %s.\n", error.c_str());
    return false;
  }
  settings->trustKeyCount++;
  return true;
}

// --jobs, --retries, --speed-limit and --speed-time: a whole decimal number
// from `low` to `high`.
bool SetCount(const char* name, const char* value, int low, int high, int* out, FILE* err) {
  char* end = nullptr;
  errno = 0;
  long number = strtol(value, &end, 10);
  if (*value < '0' || *value > '9' || *end != '\0' || errno != 0 || number < low ||
      number > high) {
    fprintf(err, "Option --%s: `%s' is not a number from %d to %d.\n", name, value, low, high);
    return false;
  }
  *out = static_cast<int>(number);
  return true;
}

// Applies one option. False for an option error (message already printed).
bool ApplyOption(int option, const char* value, CliSettings* settings, FILE* err) {
  switch (option) {
    case '3':
      settings->productLine[0] = '\0';
      return true;
    case '4':
    case '5':
      settings->productLine[0] = static_cast<char>(option);
      settings->productLine[1] = '\0';
      return true;
    case 'a':
      settings->markAll = true;
      return true;
    case 'n':  // this program never waits for a key
      return true;
    case 'd':
      return SetBaseDir(value, settings, err);
    case 'p':
      return SetPlatform(value, settings, err);
    case 't':
      SetInstallType(value, settings, err);
      return true;
    case kServerOption:
      return SetServer(value, settings, err);
    case kTrustKeyOption:
      return AddTrustKey(value, settings, err);
    case kJobsOption:
      return SetCount("jobs", value, 1, kMaxJobs, &settings->jobs, err);
    case kRetriesOption:
      return SetCount("retries", value, 0, kMaxRetries, &settings->retries, err);
    case kSpeedLimitOption:
      return SetCount("speed-limit", value, 0, kMaxSpeedLimit, &settings->speedLimit, err);
    case kSpeedTimeOption:
      return SetCount("speed-time", value, 1, kMaxSpeedTime, &settings->speedTime, err);
    case kCaFileOption:
      return SetCaFile(value, settings, err);
    case kCheckOption:
      settings->check = true;
      return true;
    default:
      return false;
  }
}

}  // namespace

void InitSettings(CliSettings* settings) {
  memset(settings, 0, sizeof(*settings));
  strlcpy(settings->productLine, "5", sizeof(settings->productLine));
  strlcpy(settings->installType, "full", sizeof(settings->installType));
  strlcpy(settings->server, kDefaultServer, sizeof(settings->server));
  settings->jobs = 1;
  settings->speedLimit = 1024;
  settings->speedTime = 60;
}

int ParseOptions(int argc, char** argv, CliSettings* settings, FILE* out, FILE* err) {
  int option;
  while ((option = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
    if (option == 'h') {
      PrintUsage(out);
      return 1;
    }
    if (option == 'V') {
      // The banner above is the program's own version line.
      fputs(UpdaterLibraryVersions().c_str(), out);
      return 0;
    }
    if (option == '?') {
      ReportBadOption(optopt, err);
      PrintUsage(out);
      return 1;
    }
    if (!ApplyOption(option, optarg, settings, err)) {
      PrintUsage(out);
      return 1;
    }
  }
  return -1;
}

void FinishSettings(CliSettings* settings) {
  if (settings->platform[0] == '\0') {
    strlcpy(settings->platform, kDefaultPlatform, sizeof(settings->platform));
  }
  size_t length = strlen(settings->baseDir);
  if (length == 0 || settings->baseDir[length - 1] != '/') {
    strlcat(settings->baseDir, "/", sizeof(settings->baseDir));
  }
}

bool BuildInfoUrl(const CliSettings& settings, char* url, size_t size) {
  int length = snprintf(url, size, "%s://%s/updates/quillon%s-%s-%s.info",
                        settings.secure ? "https" : "http", settings.server, settings.productLine,
                        settings.installType, settings.platform);
  return length >= 0 && static_cast<size_t>(length) < size;
}

void PrintUsage(FILE* out) {
  fprintf(out,
          "Command line options:\n"
          "\n"
          "-a, --all\t\tMark all packages before performing upgrade\n"
          "-d, --dir\t\tUse alternate base directory instead of current working directory\n"
          "-h, --help\t\tThis screen\n");
}
