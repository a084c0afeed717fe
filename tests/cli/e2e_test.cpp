// End-to-end runs of the updater program: documents that cannot be fetched,
// files put beside their destination, killed runs, a full disk, https, servers
// that never stop or dribble, and packs fetched with --jobs.
#include <sched.h>
#include <sys/mount.h>

#include "cli/e2e_suite.h"

namespace e2e {
namespace {

TEST_F(EndToEnd, DocumentThatCannotBeFetched) {
  // A missing document is not tried again; an empty one is a transfer of 0.
  ExpectRun(Update({"--retries", "3"}), 1,
            kBanner + std::string("\nError downloading info files: VDL reports File Not Found\n"));
  ASSERT_TRUE(WriteFile(DocumentPath(), ""));
  PlantScratchFile();
  ExpectRun(Update(), 1,
            kBanner + PlainBar(0, 0) +
                "\nError downloading info files: Error reading updater-info.xml!\n");
  ExpectBase(Tree());
  EXPECT_FALSE(Exists(work_ + "/.updater.ini"));
}

// The program's own file, and a directory with content, get a ".upd" beside
// them with their notes. Packs of one name in any letter case share a line.
TEST_F(EndToEnd, FilesThatCannotBeReplacedGoBeside) {
  Release files = {{"README.txt", "Quillon 1.0\n", 0644},   {"a/same.txt", "first\n", 0644},
                   {"b/same.txt", "second file\n", 0600},   {"c/SAME.txt", "third\n", 0644},
                   {"data/store.bin", "new store\n", 0644}, {"updater", "new updater\n", 0755}};
  const std::vector<std::string> plain = {"README.txt", "a/same.txt", "b/same.txt", "c/SAME.txt"};
  Publish(files, kPlainDescription);
  ASSERT_TRUE(WriteFile(base_ + "/updater", "old updater\n", 0755));
  ASSERT_TRUE(WriteFile(base_ + "/data/store.bin/keep.txt", "keep\n"));
  ASSERT_TRUE(WriteFile(base_ + "/data/store.bin.upd", "older upd\n", 0600));
  ExpectRun(Update(), 0,
            Begin() +
                Downloads({"README.txt", "a/same.txt", "b/same.txt", "c/SAME.txt", "data/store.bin",
                           "updater"}) +
                Installs(plain) +
                "Unpacking data/store.bin ...\nNote: the following file will install to "
                "data/store.bin.upd. You can rename it after the program has closed.\n"
                "Installing data/store.bin ... \nNote: the following file will install to "
                "updater.upd, Wavekeeper will automatically rename it to the proper thing next "
                "time it is run, or you can manually rename it if you wish\n"
                "Unpacking updater ...\nInstalling updater ... \n\nUpdate Complete!\n");
  Tree expected = Installed(files, plain);
  AddFile(&expected, "updater", "old updater\n", 0755);
  AddFile(&expected, "updater.upd", "new updater\n", 0755);
  AddFile(&expected, "data/store.bin/keep.txt", "keep\n");
  AddFile(&expected, "data/store.bin.upd", "new store\n", 0644);
  ExpectBase(expected);
}

// Small files d<i % 8>/<prefix><i>.txt holding their path and `tag`.
Release ManyFiles(int count, const std::string& tag, const std::string& prefix = "f") {
  Release files;
  for (int i = 0; i < count; ++i) {
    char path[64];
    snprintf(path, sizeof path, "d%d/%s%04d.txt", i % 8, prefix.c_str(), i);
    files.push_back({path, std::string(path) + " " + tag + "\n", 0644});
  }
  return files;
}

TEST_F(EndToEnd, KilledRunIsCompletedByTheNextRun) {
  // Each installed file is synced twice, which a memory filesystem makes fast.
  TempDir memory("/dev/shm");
  if (!memory.path().empty()) base_ = memory.path() + "/base";
  Release oldFiles = ManyFiles(200, "1"), newFiles = ManyFiles(200, "2");
  Release outdated = ManyFiles(600, "1", "old");
  std::string description = std::string(kPlainDescription) + "[outdated]\n";
  for (const ReleaseFile& file : outdated) description += file.path + "\n";
  Publish(newFiles, description);
  const char* moments[] = {
      "] f0100.txt ",                   // a pack being downloaded
      "Unpacking d0/f0000.txt ...",     // the first file being installed
      "Unpacking d4/f0004.txt ...",     // half of them installed
      "Deleting d0/old0200.txt: OK\n",  // some outdated files deleted
  };
  for (const char* moment : moments) {
    SCOPED_TRACE(moment);
    RemoveTree(base_);
    for (const Release& files : {oldFiles, outdated}) {
      for (const ReleaseFile& file : files)
        ASSERT_TRUE(WriteFile(base_ + "/" + file.path, file.content));
    }
    RunResult killed = RunUntil({updater_, "--server", url_, "-d", base_}, work_, moment);
    ASSERT_NE(killed.out.find(moment), std::string::npos) << killed.out;
    // Every file is whole, old or new, and none is missing.
    Tree left = ReadTree(base_);
    for (size_t i = 0; i < newFiles.size(); ++i) {
      const std::string& content = left[newFiles[i].path].content;
      EXPECT_TRUE(content == oldFiles[i].content || content == newFiles[i].content)
          << newFiles[i].path << ": \"" << content << "\"";
    }
    RunResult rerun = Update();
    EXPECT_TRUE(rerun.status == 0 && EndsWith(rerun.out, "\nUpdate Complete!\n")) << rerun.out;
    ExpectBase(Installed(newFiles));  // no staged file, no pack, nothing outdated
    EXPECT_FALSE(Exists(work_ + "/updater-info.xml"));
  }
}

TEST_F(EndToEnd, PackThatCannotBeWrittenWholeIsAWriteErrorAndDeleted) {
  Publish({{"README.txt", "Quillon 1.0\n", 0644}}, kPlainDescription);
  // A full disk: a full one-page memory filesystem at the pack directory, in a
  // private mount namespace; the small pack fails only when it is closed.
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    GTEST_SKIP() << "no private mount namespace here";
  }
  const std::string packs = base_ + "/tmp/updater";
  ASSERT_TRUE(MakeDirs(packs));
  ASSERT_EQ(mount("tmpfs", packs.c_str(), "tmpfs", 0, "size=4k"), 0);
  struct Unmount {
    std::string path;
    ~Unmount() { umount(path.c_str()); }
  } unmount{packs};
  ASSERT_TRUE(WriteFile(packs + "/filler", std::string(4096, 'x')));
  ExpectRun(Update(), 1,
            Begin() + Downloads({"README.txt"}) +
                "\nError performing update: VDL reports 'Error writing file' while downloading "
                "'README.txt'\n");
  Tree expected;
  AddFile(&expected, "tmp/updater/filler", std::string(4096, 'x'));
  ExpectBase(expected);
}

TEST_F(EndToEnd, HttpsInstallsOnlyWithTheTrustedAuthority) {
  StartServer(true);
  Publish(StandardRelease(), kStandardDescription);
  // Refused, and not tried again: a certificate does not change.
  ExpectRun(Update({"--server", url_, "--retries", "3"}), 1,
            kBanner + std::string("\nError downloading info files: VDL reports Error Connecting "
                                  "to Host (Certificate verification failed: unable to get local "
                                  "issuer certificate)\n"));
  ExpectBase(Tree());
  PlantScratchFile();
  ExpectRun(Update({"--server", url_, "--ca-file", root_.path() + "/ca.pem"}), 0,
            FullRun(kStandardInstalled));
  ExpectBase(Installed(StandardRelease(), kStandardInstalled));
  EXPECT_EQ(Ini(), kStandardIni);
}

TEST_F(EndToEnd, EndlessAndSlowServersAreCutOff) {
  Publish(StandardRelease(), kStandardDescription);
  const std::string pack = www_ + "/packs/README.txt.pak";
  struct {
    std::string marker;  // the file that makes the server misbehave
    std::vector<std::string> options;
    std::string error;  // how the output ends
  } cases[] = {
      {DocumentPath() + ".endless",
       {},
       "\nError downloading info files: Error reading updater-info.xml! (larger than 67108864 "
       "bytes)\n"},
      {pack + ".endless",
       {},
       "\nError performing update: Pack of README.txt is larger than 25 bytes, the most a file of "
       "12 bytes packs into\n"},
      {pack + ".dribble",
       {"--speed-limit", "100", "--speed-time", "1"},
       "\nError performing update: VDL reports 'Transfer Timed Out (below 100 bytes/s for 1 s)' "
       "while downloading 'README.txt'\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.marker);
    ASSERT_TRUE(WriteFile(c.marker, ""));
    PlantScratchFile();
    RunResult result = Update(c.options);
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(EndsWith(result.out, c.error)) << result.out;
    EXPECT_EQ(result.err, "");
    size_t last = result.out.rfind("\rDownloading: ");  // the document stopped at its bound
    EXPECT_LE(last == std::string::npos ? 0 : std::stoll(result.out.substr(last + 14)), 67108864);
    EXPECT_FALSE(Exists(work_ + "/updater-info.xml"));
    // A pack cut off within its bound is kept with its note; an endless one not.
    const bool kept = c.marker == pack + ".dribble";
    EXPECT_EQ(Exists(base_ + "/tmp/updater/README.txt.pak.updater-resume"), kept);
    EXPECT_EQ(ReadFile(base_ + "/tmp/updater/README.txt.pak").empty(), !kept);
    RemoveTree(c.marker);
  }
}

TEST_F(EndToEnd, ParallelDownloadStopsWithTheFirstFailingFile) {
  Release files;
  std::vector<std::string> paths;
  for (int i = 1; i <= 6; ++i) {
    paths.push_back("d/f" + std::to_string(i) + ".txt");
    files.push_back({paths.back(), std::string(20000 * i, static_cast<char>('a' + i)), 0644});
  }
  // The slow server (half way when one fails) lacks the third file's pack.
  ServerProcess slow;
  ASSERT_TRUE(slow.StartScript(sources_ + "/tests/cli/slow_server.py", {www_}));
  Publish(files, kPlainDescription,
          {"--base-url", "http://127.0.0.1:" + std::to_string(slow.port())});
  const std::string third = www_ + "/packs/" + paths[2] + ".pak", thirdPack = ReadFile(third);
  ASSERT_EQ(remove(third.c_str()), 0);

  RunResult result = Update({"--jobs", "3"});
  const std::string head = Begin() + "\n*** Downloading Updated Files ***\n\n";
  const std::string tail =
      "\nError performing update: VDL reports 'File Not Found' while downloading '" + paths[2] +
      "'\n";
  EXPECT_EQ(result.status, 1);
  ASSERT_EQ(result.out.rfind(head, 0), 0u) << result.out;
  ASSERT_TRUE(EndsWith(result.out, tail)) << result.out;
  // In between, only the line of all transfers, at 80 columns, then "\n".
  std::string between =
      result.out.substr(head.size(), result.out.size() - head.size() - tail.size());
  EXPECT_TRUE(std::regex_match(between, std::regex("(\r[^\r\n]{79})+\n"))) << between;
  // Nothing installed, no staged file, no directory made for one.
  for (const auto& [path, entry] : ReadTree(base_)) {
    EXPECT_EQ(path.rfind("tmp", 0), 0u) << path;
    EXPECT_EQ(path.find(".updater-part"), std::string::npos) << path;
  }

  // With every pack served again, the packs stopped half way are continued.
  ASSERT_TRUE(WriteFile(third, thirdPack));
  result = Update({"--jobs", "3"});
  EXPECT_EQ(result.status, 0) << result.out;
  for (int i : {0, 1}) {
    EXPECT_NE(result.out.find("Resuming " + paths[i] + " at "), std::string::npos) << result.out;
  }
  ExpectBase(Installed(files));
}

}  // namespace
}  // namespace e2e
