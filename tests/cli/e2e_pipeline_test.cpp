// End-to-end tests of the updater program (see e2e_test.cpp): several packs
// downloaded at once with --jobs, and what a failure among them leaves.
#include <regex>
#include <string>
#include <vector>

#include "cli/e2e_suite.h"

namespace e2e {
namespace {

// Python's http.server that sends every pack in three pieces: half of it at
// once, a quarter after 0.3 s and the rest after 0.1 s more, and an error
// after 0.15 s, so that transfers are half way when another fails; it
// ignores ranges.
const char kSlowServer[] =
    "import functools, http.server, sys, time\n"
    "class Slow(http.server.SimpleHTTPRequestHandler):\n"
    "    def copyfile(self, source, out):\n"
    "        data = source.read()\n"
    "        if not self.path.endswith('.pak'):\n"
    "            return out.write(data)\n"
    "        cuts = [0, len(data) // 2, len(data) * 3 // 4, len(data)]\n"
    "        for i in range(3):\n"
    "            time.sleep([0, 0.3, 0.1][i])\n"
    "            out.write(data[cuts[i]:cuts[i + 1]])\n"
    "            out.flush()\n"
    "    def send_error(self, *args, **kwargs):\n"
    "        time.sleep(0.15)\n"
    "        super().send_error(*args, **kwargs)\n"
    "    def log_message(self, *args):\n"
    "        pass\n"
    "handler = functools.partial(Slow, directory=sys.argv[2])\n"
    "http.server.ThreadingHTTPServer(('127.0.0.1', int(sys.argv[1])), handler).serve_forever()\n";

TEST_F(EndToEnd, ParallelDownloadStopsWithTheFirstFailingFile) {
  Release files;
  std::vector<std::string> paths;
  for (int i = 1; i <= 6; ++i) {  // in list order
    std::string path = "d/f" + std::to_string(i) + ".txt";
    files.push_back({path, std::string(20000 * i, static_cast<char>('a' + i)), 0644});
    paths.push_back(path);
  }
  Publish(files, kPlainDescription);
  // The packs come from the slow server, which lacks that of the third file.
  std::string script = root_.path() + "/slow.py";
  ASSERT_TRUE(WriteFile(script, kSlowServer));
  ServerProcess slow;
  ASSERT_TRUE(slow.StartScript(script, {www_}));
  std::string document = ReadFile(DocumentPath());
  ASSERT_TRUE(ReplaceOnce(&document, ":" + std::to_string(server_.port()) + "/",
                          ":" + std::to_string(slow.port()) + "/"));
  ASSERT_TRUE(WriteFile(DocumentPath(), document));
  const std::string third = www_ + "/packs/" + paths[2] + ".pak";
  const std::string thirdPack = ReadFile(third);
  ASSERT_EQ(remove(third.c_str()), 0);

  RunResult result = Update({"--jobs", "3"});
  Console head = Begin(2);
  head.Raw("\n*** Downloading Updated Files ***\n\n");
  const std::string tail =
      "\nError performing update: VDL reports 'File Not Found' while downloading '" + paths[2] +
      "'\n";
  EXPECT_EQ(result.status, 1);
  ASSERT_EQ(result.out.compare(0, head.text().size(), head.text()), 0) << result.out;
  ASSERT_GE(result.out.size(), head.text().size() + tail.size());
  EXPECT_EQ(result.out.substr(result.out.size() - tail.size()), tail);
  // In between, only the line of all transfers, redrawn at 80 columns and
  // ended with a line feed.
  std::string between =
      result.out.substr(head.text().size(), result.out.size() - head.text().size() - tail.size());
  EXPECT_TRUE(std::regex_match(between, std::regex("(\r[^\r\n]{79})+\n"))) << between;
  // Nothing installed, no staged file, no directory made for one.
  for (const auto& [path, entry] : ReadTree(base_)) {
    EXPECT_EQ(path.rfind("tmp", 0), 0u) << path;
    EXPECT_EQ(path.find(".updater-part"), std::string::npos) << path;
  }

  // With every pack served again, a run installs them all from whatever the
  // failed run left: the packs stopped on the way are continued, not taken
  // for whole.
  ASSERT_TRUE(WriteFile(third, thirdPack));
  result = Update({"--jobs", "3"});
  EXPECT_EQ(result.status, 0) << result.out;
  for (int i : {0, 1}) {
    EXPECT_NE(result.out.find("Resuming " + paths[i] + " at "), std::string::npos) << result.out;
  }
  ExpectBase(Installed(files, paths));
}

}  // namespace
}  // namespace e2e
