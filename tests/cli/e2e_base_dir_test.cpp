// End-to-end tests of the updater program (see e2e_test.cpp): what it does to
// the base directory when it is killed, when another update runs there, and
// when links were planted in it.
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/e2e_suite.h"

namespace e2e {
namespace {

// Small files in a few directories: d<i % 8>/<prefix><i>.txt, holding their
// path and `tag`.
Release ManyFiles(int count, const std::string& tag, const std::string& prefix = "f") {
  Release files;
  for (int i = 0; i < count; ++i) {
    char path[64];
    snprintf(path, sizeof path, "d%d/%s%04d.txt", i % 8, prefix.c_str(), i);
    files.push_back({path, std::string(path) + " " + tag + "\n", 0644});
  }
  return files;
}

void Install(const std::string& base, const Release& files) {
  for (const ReleaseFile& file : files) {
    ASSERT_TRUE(WriteFile(base + "/" + file.path, file.content, file.mode)) << file.path;
  }
}

TEST_F(EndToEnd, KilledRunIsCompletedByTheNextRun) {
  // On a memory filesystem when there is one: each installed file is synced
  // twice, which a disk makes slow and a memory filesystem does not.
  TempDir memory("/dev/shm");
  if (!memory.path().empty()) base_ = memory.path() + "/base";
  Release oldFiles = ManyFiles(200, "1");
  Release newFiles = ManyFiles(200, "2");
  Release outdated = ManyFiles(600, "1", "old");
  std::string description = std::string(kPlainDescription) + "[outdated]\n";
  for (const ReleaseFile& file : outdated) description += file.path + "\n";
  Publish(newFiles, description);
  Tree expected = Installed(newFiles, {});
  for (const ReleaseFile& file : newFiles) AddFile(&expected, file.path, file.content);

  // Moments to kill at, by the output seen so far.
  const char* moments[] = {
      "] f0100.txt ",                   // a pack being downloaded
      "Unpacking d0/f0000.txt ...",     // the first file being installed
      "Unpacking d4/f0004.txt ...",     // half of them installed
      "Deleting d0/old0200.txt: OK\n",  // some outdated files deleted
  };

  for (const char* moment : moments) {
    SCOPED_TRACE(moment);
    RemoveTree(base_);
    Install(base_, oldFiles);
    Install(base_, outdated);
    {
      WatchedProgram run;
      ASSERT_TRUE(run.Start(
          {updater_, "--server", "127.0.0.1:" + std::to_string(server_.port()), "-d", base_},
          work_));
      ASSERT_TRUE(run.WaitFor(moment)) << run.out();
      run.Kill();
    }
    // Every file is whole, old or new, and none is missing.
    Tree killed = ReadTree(base_);
    for (size_t i = 0; i < newFiles.size(); ++i) {
      const std::string& content = killed[newFiles[i].path].content;
      EXPECT_TRUE(content == oldFiles[i].content || content == newFiles[i].content)
          << newFiles[i].path << ": \"" << content << "\"";
    }
    RunResult rerun = Update();
    EXPECT_EQ(rerun.status, 0) << rerun.out;
    EXPECT_NE(rerun.out.find("\nUpdate Complete!\n"), std::string::npos) << rerun.out;
    ExpectBase(expected);  // no staged file, no pack, nothing outdated
    EXPECT_FALSE(Exists(work_ + "/updater-info.xml"));
  }
}

TEST_F(EndToEnd, SecondUpdaterOnTheSameBaseTouchesNothing) {
  Publish(StandardRelease(), kStandardDescription);
  // A server that announces a document and then stays silent, so that the
  // first updater holds the base directory for as long as the test needs.
  std::string script = root_.path() + "/stall.py";
  ASSERT_TRUE(
      WriteFile(script,
                "import socket, sys, time\n"
                "server = socket.socket()\n"
                "server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                "server.bind(('127.0.0.1', int(sys.argv[1])))\n"
                "server.listen(8)\n"
                "server.settimeout(1)\n"
                "held = []\n"
                "end = time.time() + 60\n"
                "while time.time() < end:\n"
                "    try:\n"
                "        peer, _ = server.accept()\n"
                "        peer.recv(4096)\n"
                "        peer.sendall(b'HTTP/1.0 200 OK\\r\\nContent-Length: 100\\r\\n\\r\\n')\n"
                "        held.append(peer)\n"
                "    except OSError:\n"
                "        pass\n"));
  ServerProcess stall;
  ASSERT_TRUE(stall.StartScript(script));
  Install(base_, StandardRelease());
  Tree before = ReadTree(base_);
  WatchedProgram first;
  ASSERT_TRUE(first.Start(
      {updater_, "--server", "127.0.0.1:" + std::to_string(stall.port()), "-d", base_}, work_));
  ASSERT_TRUE(first.WaitFor("] 0 bytes")) << first.out();  // it holds the lock now

  std::string otherWork = root_.path() + "/other-work";
  ASSERT_TRUE(MakeDirs(otherWork));
  RunResult second =
      RunProgram({updater_, "--server", "127.0.0.1:" + std::to_string(server_.port()), "-d", base_},
                 otherWork);
  Console console;
  console.Start();
  console.Raw("\nError: Another update is already running in " + base_ + "/\n");
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.out, console.text());
  EXPECT_EQ(second.err, "");
  EXPECT_FALSE(Exists(otherWork + "/updater-info.xml"));
  EXPECT_FALSE(Exists(otherWork + "/.updater.ini"));
  ExpectBase(before);

  // Once the first is gone, the lock is free again.
  first.Kill();
  RunResult third =
      RunProgram({updater_, "--server", "127.0.0.1:" + std::to_string(server_.port()), "-d", base_},
                 otherWork);
  EXPECT_EQ(third.status, 0) << third.out;
}

TEST_F(EndToEnd, PackThatCannotBeWrittenWholeIsAWriteErrorAndDeleted) {
  Release files = {{"README.txt", "Quillon 1.0\n", 0644}};
  Publish(files, kPlainDescription);
  // A full disk: the pack directory is a memory filesystem of one page that
  // is already full, mounted in a private mount namespace of this process
  // (which the updater inherits). The small pack stays in the stdio buffer
  // until the file is closed; the partial pack is deleted.
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
  RunResult result = Update();
  Console console = Begin(2);
  console.Raw("\n");
  Downloads(&console, {"README.txt"});
  console.Raw(
      "\nError performing update: VDL reports 'Error writing file' while downloading "
      "'README.txt'\n");
  ExpectRun(result, 1, console);
  Tree expected;
  AddFile(&expected, "tmp/updater/filler", std::string(4096, 'x'));
  ExpectBase(expected);
}

}  // namespace
}  // namespace e2e
