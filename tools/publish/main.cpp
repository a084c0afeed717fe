// updater-publish: turns a release directory and its description into the
// update-info document and the packs, laid out as a web server serves them.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "description.h"
#include "publisher.h"

namespace {

const char kUsage[] =
    "Usage: updater-publish [options] RELEASE_DIR DESCRIPTION OUTPUT_DIR\n"
    "\n"
    "Packs every file under RELEASE_DIR and writes the update-info document\n"
    "OUTPUT_DIR/updates/quillon<line>-<type>-<platform>.info and the packs\n"
    "under OUTPUT_DIR/<PackDir>/, as a web server serving OUTPUT_DIR offers them.\n"
    "\n"
    "  -b, --base-url URL     URL at which OUTPUT_DIR is served (else BaseURL)\n"
    "  -g, --generation N     write a generation 1 or 2 document (else generation)\n"
    "  -q, --quiet            print only errors\n"
    "  -h, --help             this text\n";

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

}  // namespace

int main(int argc, char** argv) {
  static const option kLong[] = {{"base-url", required_argument, nullptr, 'b'},
                                 {"generation", required_argument, nullptr, 'g'},
                                 {"quiet", no_argument, nullptr, 'q'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  PublishOptions options;
  options.log = stdout;
  int c;
  while ((c = getopt_long(argc, argv, "b:g:qh", kLong, nullptr)) != -1) {
    switch (c) {
      case 'b':
        options.baseUrl = optarg;
        break;
      case 'g':
        if (std::string(optarg) != "1" && std::string(optarg) != "2") {
          return Fail("the generation must be 1 or 2");
        }
        options.generation = atoi(optarg);
        break;
      case 'q':
        options.log = nullptr;
        break;
      case 'h':
        fputs(kUsage, stdout);
        return 0;
      default:
        fputs(kUsage, stderr);
        return 2;
    }
  }
  if (argc - optind != 3) {
    fputs(kUsage, stderr);
    return 2;
  }
  options.releaseDir = argv[optind];
  options.outputDir = argv[optind + 2];
  std::string text, error;
  if (!ReadText(argv[optind + 1], &text)) {
    return Fail(std::string("cannot read the description ") + argv[optind + 1]);
  }
  ReleaseDescription description;
  if (!ParseDescription(text, &description, &error)) {
    return Fail(std::string(argv[optind + 1]) + ": " + error);
  }
  if (!MakeDirectories(options.outputDir)) {
    return Fail("cannot create the output directory " + options.outputDir);
  }
  if (!Publish(description, options, &error)) return Fail(error);
  return 0;
}
