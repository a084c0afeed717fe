// updater-publish's modules: signing keys, refusals, and a signed release read
// back by the engine's parser (installing it is left to the end-to-end tests).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cli/e2e_fixture.h"
#include "description.h"
#include "document.h"
#include "publisher.h"
#include "signing.h"
#include "trust.h"
#include "updater.h"

using e2e::Exists;
using e2e::ReadFile;
using e2e::TempDir;

namespace {

const std::string kHead = "[release]\nAppName=a\nAuthor=b\nURL=c\n";  // lines 1-4

TEST(PublishSigning, NewKeyPairsAndTheKeysThatLoad) {
  TempDir dir;
  const std::string base = dir.path() + "/", name = base + "vendor";
  mode_t old = umask(0);  // the private key's mode does not rely on the umask
  std::string id, error;
  bool ok = NewKeyPair(name, &id, &error);
  umask(old);
  ASSERT_TRUE(ok) << error;
  const e2e::Tree made = e2e::ReadTree(dir.path());
  EXPECT_EQ(made.at("vendor.key").mode, 0600u);
  EXPECT_EQ(made.at("vendor.pub").mode, 0644u);
  SigningKey key;  // one pair, and the id printed is the public key's
  TrustKey shared;
  ASSERT_TRUE(LoadSigningKey(name + ".key", &key, &error)) << error;
  EXPECT_EQ(std::string(key.publicKey.id), id);
  // Existing files are never overwritten, and a failure leaves nothing.
  ASSERT_TRUE(e2e::WriteFile(base + "old.pub", "keep"));
  EXPECT_FALSE(NewKeyPair(name, &id, &error));
  EXPECT_EQ(error, name + ".key already exists; not overwriting it");
  EXPECT_FALSE(NewKeyPair(base + "old", &id, &error));
  EXPECT_EQ(error, base + "old.pub already exists; not overwriting it");
  EXPECT_FALSE(Exists(base + "old.key"));
  EXPECT_EQ(ReadFile(base + "old.pub"), "keep");
  ASSERT_TRUE(trust_read_key_file((name + ".pub").c_str(), &shared, &error)) << error;
  EXPECT_EQ(std::string(shared.id), std::string(key.publicKey.id));

  ASSERT_EQ(e2e::RunProgram({"/bin/sh", "-c",
                             "openssl genpkey -algorithm x25519 -out x25519.key && openssl genpkey "
                             "-algorithm ed25519 -aes256 -pass pass:secret -out locked.key"},
                            dir.path())
                .status,
            0);
  for (const char* file : {"vendor.pub", "x25519.key", "locked.key"}) {  // and no passphrase
    EXPECT_FALSE(LoadSigningKey(base + file, &key, &error));
    EXPECT_EQ(error, base + file + " is not an unencrypted Ed25519 private key in PEM form");
  }
  EXPECT_FALSE(LoadSigningKey(base + "missing.key", &key, &error));
  EXPECT_EQ(error, "cannot read " + base + "missing.key: No such file or directory");
}

class PublishRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(e2e::WriteFile(release_.path() + "/bin/x/tool", "tool\n", 0750));
    ASSERT_TRUE(e2e::WriteFile(release_.path() + "/docs/a b#1%.txt", "docs\n", 0644));
    ASSERT_TRUE(e2e::WriteFile(release_.path() + "/README", "readme\n", 0600));
    options_.releaseDir = release_.path();
    options_.outputDir = out_.path() + "/site";
    options_.baseUrl = "http://127.0.0.1:9/";
  }
  bool Run(const std::string& text, std::string* error) {
    ReleaseDescription d;
    return ParseDescription(text, &d, error) && Publish(d, options_, error);
  }
  // With `extra` from line 16 on.
  bool RunRelease(const std::string& extra, std::string* error) {
    return Run(
        "[release]\nAppName=Quillon <\"&'>\nAuthor=b\nURL=c\n[Group docs]\ndefault=2\n"
        "[group base]\ndispName=Base \"program\"\ndesc=one\\ntwo\npriority=90\n"
        "default=1\ndefaultgrp=1\n[files]\nbin/*=base, docs,BASE,\ndocs/*=docs\n" +
            extra,
        error);
  }

  TempDir release_, out_;
  PublishOptions options_;
  const std::string doc_ = out_.path() + "/site/updates/quillon5-full-centos7.x86_64.info";
};

TEST_F(PublishRelease, ErrorsNameTheLineAndLeaveNothing) {
  struct {
    std::string text;
    std::string error;
    int generation = 0;
    std::string baseUrl = "http://h/";
  } cases[] = {
      {kHead + "colour = red\n", "line 5: unknown key 'colour' in [release]"},
      {kHead + "[other]\n", "line 5: unknown section [other]"},
      {"AppName=a\n", "line 1: entry outside of a section"},
      {kHead + "[group a,b]\n",
       "line 5: a group name may hold only letters, digits, '_', '-' and '.'"},
      {kHead + "[group a]\n[group A]\n", "line 6: group 'A' is described twice"},
      {kHead + "[files]\nbin/* = base\n",
       "line 6: unknown group 'base' (describe groups before [files])"},
      {kHead + "[keys]\nbin/tool = short\n",
       "line 6: a key must have 16 characters, or none for no encipherment"},
      {kHead + "[keys]\nbin/tool = 0123456789abcd f\n",
       "line 6: a key may only hold visible ASCII characters"},
      {kHead + "[keys]\n../etc/passwd = 0123456789abcdef\n",
       "line 6: not a plain relative path: ../etc/passwd"},
      {kHead + "[outdated]\n/etc/passwd\n", "line 6: not a plain relative path: /etc/passwd"},
      {"[release]\nAppName=a\nURL=c\n", "[release] needs AppName, Author and URL"},
      {kHead + "generation = 1\n[group a]\n", "package groups need generation 2"},
      {kHead + "[keys]\nbin/missing = ABCDEFGHIJKLMNOP\n",
       "line 6: bin/missing is not in the release"},
      {kHead + "[outdated]\nREADME\n", "README is listed as outdated but is part of the release"},
      {kHead + "[group a]\n", "package groups need generation 2", 1},
      {kHead, "no base URL: give --base-url or BaseURL in [release]", 0, ""},
  };
  for (const auto& c : cases) {
    options_.generation = c.generation;
    options_.baseUrl = c.baseUrl;
    std::string error;
    EXPECT_FALSE(Run(c.text, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
  EXPECT_FALSE(Exists(out_.path() + "/site/updates"));
  for (const char* bad : {"", "/abs", "a//b", "a/./b", "a/../b", "..", "a/", "a\\b", "a\tb"}) {
    EXPECT_FALSE(IsPlainRelativePath(bad)) << bad;
  }
}

// What installing does not show: values that need escaping or merging, and
// the signed document's stamps.
TEST_F(PublishRelease, SignsWhatTheEngineReads) {
  TempDir keys;
  std::string id, error, key = "k&y<\"'>012345678";
  options_.signingKeys.resize(1);
  ASSERT_TRUE(NewKeyPair(keys.path() + "/k", &id, &error) &&
              LoadSigningKey(keys.path() + "/k.key", &options_.signingKeys[0], &error))
      << error;
  options_.now = 1700000000;
  options_.serial = 42;
  options_.validDays = 2;
  ASSERT_TRUE(RunRelease("[keys]\nbin/x/tool = " + key + "\ndocs/a b#1%.txt =\n", &error)) << error;
  const std::string text = ReadFile(doc_);
  EXPECT_NE(text.find(" document=\"quillon5-full-centos7.x86_64.info\" serial=\"42\" "
                      "expires=\"1700172800\""),
            std::string::npos);
  Updater updater;
  updater.Init("", (out_.path() + "/").c_str(), "updater", "", nullptr);
  updater.infoText = text;
  ASSERT_TRUE(updater.ParseInfo()) << updater.GetLastError();
  EXPECT_EQ(updater.header.appName, "Quillon <\"&'>");
  UpdateGroup* group = updater.GetFirstGroup();
  ASSERT_TRUE(group != nullptr && group->next != nullptr);
  EXPECT_EQ(group->displayName, "Base \"program\"");  // priority 90 first
  EXPECT_EQ(group->description, "one\ntwo");
  EXPECT_EQ(updater.defaultGroup, group);
  EXPECT_EQ(group->next->state, Remove);
  ASSERT_EQ(updater.fileCount, 3);  // README, bin/x/tool, docs/a b#1%.txt
  UpdateFile* tool = updater.GetFirstFile()->next;
  EXPECT_STREQ(tool->key, key.c_str());
  EXPECT_EQ(tool->groups.size(), 2u);  // each group once
  EXPECT_EQ(tool->next->url, "http://127.0.0.1:9/packs/docs/a%20b%231%25.txt.pak");
  EXPECT_STREQ(tool->next->key, "");
  // Published again: a line over the final bytes, none of the previous
  // document's.
  for (int64_t serial : {0, -1}) {  // -1: the publishing time
    options_.serial = serial;
    options_.validDays = 0;
    ASSERT_TRUE(RunRelease("", &error)) << error;
    std::string again = ReadFile(doc_), signatures = ReadFile(doc_ + ".sig");
    EXPECT_NE(again.find(serial ? " serial=\"1700000000\"/>" : " serial=\"0\"/>"),
              std::string::npos);
    EXPECT_EQ(std::count(signatures.begin(), signatures.end(), '\n'), 1);
    EXPECT_TRUE(
        trust_check_signatures(again, signatures, {options_.signingKeys[0].publicKey}, &error))
        << error;
  }
  EXPECT_FALSE(Exists(doc_ + ".tmp") || Exists(doc_ + ".sig.tmp"));
  // Updaters refuse signed first-generation documents; so does the publisher.
  EXPECT_FALSE(Run(kHead + "generation=1\n", &error));
  EXPECT_EQ(error, "signing needs generation 2 (updaters refuse signed generation 1 documents)");
}

}  // namespace
