// updater-publish's modules: the description parser, the document writer
// (read back by the engine's own parser), packs (opened by the
// engine's UnpackFile) and publishing a release into a directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cli/e2e_fixture.h"
#include "description.h"
#include "document.h"
#include "pack.h"
#include "publisher.h"
#include "signing.h"
#include "trust.h"
#include "updater.h"

using e2e::Exists;
using e2e::ReadFile;
using e2e::TempDir;
using e2e::WriteFile;

namespace {

const char kDescription[] =
    "# comment\n[release]\r\ngeneration = 2\nline = 4\ntype = BASIC\nplatform = debian12.amd64\n"
    "AppName = Quillon & Co\nAuthor = Tessaworks\nURL = http://www.example.com/\n"
    "BaseURL = http://127.0.0.1:8080/\nPackDir = files/packs\n\n"
    "[group base]\ndispName = Base \"program\"\nmenu = Program\n"
    "desc = first line\\nsecond line\npriority = 90\ndefault = 1\ndefaultgrp = 1\n"
    "[Group docs]\ndefault = 2\n; a comment\n"
    "[files]\nbin/* = base\ndocs/* = docs, BASE,\n"
    "[keys]\nbin/tool = 0123456789abcdef\ndocs/a b.txt =\n"
    "[outdated]\nlib/old.so\n";

TEST(PublishDescription, ReadsEverySection) {
  ReleaseDescription d;
  std::string error;
  ASSERT_TRUE(ParseDescription(kDescription, &d, &error)) << error;
  EXPECT_EQ(DocumentPath(d), "updates/quillon4-basic-debian12.amd64.info");
  ASSERT_EQ(d.groups.size(), 2u);
  EXPECT_EQ(d.groups[0].desc, "first line\\nsecond line");  // the engine turns \n into a break
  EXPECT_EQ(d.groups[1].priority, 50);
  EXPECT_EQ(d.groups[1].defaultState, 2);
  ASSERT_EQ(d.fileRules.size(), 2u);
  EXPECT_EQ(d.fileRules[1].groups, (std::vector<std::string>{"docs", "base"}));
  ASSERT_EQ(d.keyRules.size(), 2u);
  EXPECT_EQ(d.keyRules[0].key, "0123456789abcdef");
  EXPECT_EQ(d.keyRules[1].key, "");
  EXPECT_EQ(d.outdated, (std::vector<std::string>{"lib/old.so"}));

  // Defaults: generation 2, line 5, full, centos7.x86_64; an empty line.
  ASSERT_TRUE(ParseDescription("[release]\nAppName=a\nAuthor=b\nURL=c\n", &d, &error));
  EXPECT_EQ(DocumentPath(d), "updates/quillon5-full-centos7.x86_64.info");
  ASSERT_TRUE(ParseDescription("[release]\nline=\nAppName=a\nAuthor=b\nURL=c\n", &d, &error));
  EXPECT_EQ(DocumentPath(d), "updates/quillon-full-centos7.x86_64.info");
}

TEST(PublishDescription, ErrorsNameTheLine) {
  const std::string head = "[release]\nAppName=a\nAuthor=b\nURL=c\n";  // lines 1-4
  struct {
    std::string text;
    std::string error;
  } cases[] = {
      {head + "colour = red\n", "line 5: unknown key 'colour' in [release]"},
      {head + "[other]\n", "line 5: unknown section [other]"},
      {"AppName=a\n", "line 1: entry outside of a section"},
      {head + "[group a,b]\n",
       "line 5: a group name may hold only letters, digits, '_', '-' and '.'"},
      {head + "[group a]\n[group A]\n", "line 6: group 'A' is described twice"},
      {head + "[files]\nbin/* = base\n",
       "line 6: unknown group 'base' (describe groups before [files])"},
      {head + "[keys]\nbin/tool = short\n",
       "line 6: a key must have 16 characters, or none for no encipherment"},
      {head + "[keys]\nbin/tool = 0123456789abcd f\n",
       "line 6: a key may only hold visible ASCII characters"},
      {head + "[keys]\n../etc/passwd = 0123456789abcdef\n",
       "line 6: not a plain relative path: ../etc/passwd"},
      {head + "[outdated]\n/etc/passwd\n", "line 6: not a plain relative path: /etc/passwd"},
      {"[release]\nAppName=a\nURL=c\n", "[release] needs AppName, Author and URL"},
      {head + "generation = 1\n[group a]\n", "package groups need generation 2"},
  };
  for (const auto& c : cases) {
    ReleaseDescription d;
    std::string error;
    EXPECT_FALSE(ParseDescription(c.text, &d, &error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text;
  }
}

TEST(PublishDescription, CommentsAndTheDocumentedExamples) {
  ReleaseDescription d;
  std::string error;
  ASSERT_TRUE(
      ParseDescription("[release]   ; the release\nAppName = Quillon #1 ; name\n"
                       "Author=b\nURL = http://x/#top\n[keys]\n",
                       &d, &error))
      << error;
  EXPECT_EQ(d.appName, "Quillon");
  EXPECT_EQ(d.appUrl, "http://x/#top");

  // The examples in the README and in docs/publish.md are valid descriptions.
  const char* source = getenv("UPDATER_SOURCE_DIR");
  ASSERT_NE(source, nullptr);
  for (const char* doc : {"/README.md", "/docs/publish.md"}) {
    std::string text = ReadFile(std::string(source) + doc);
    size_t start = text.find("```ini\n");
    ASSERT_NE(start, std::string::npos) << doc;
    start += 7;
    std::string example = text.substr(start, text.find("```", start) - start);
    ASSERT_TRUE(ParseDescription(example, &d, &error)) << doc << ": " << error;
    EXPECT_FALSE(d.groups.empty()) << doc;
  }
}

TEST(PublishDescription, PatternsAndPaths) {
  EXPECT_TRUE(MatchPattern("bin/*", "bin/tool"));
  EXPECT_TRUE(MatchPattern("bin/*", "bin/sub/tool"));  // '*' crosses '/'
  EXPECT_TRUE(MatchPattern("*.txt", "docs/a.txt"));
  EXPECT_TRUE(MatchPattern("lib/?.so", "lib/a.so"));
  EXPECT_FALSE(MatchPattern("bin/*", "sbin/tool"));
  EXPECT_FALSE(MatchPattern("README", "README.txt"));

  EXPECT_TRUE(IsPlainRelativePath("a/b c/d.txt"));
  for (const char* bad : {"", "/abs", "a//b", "a/./b", "a/../b", "..", "a/", "a\\b", "a\tb"}) {
    EXPECT_FALSE(IsPlainRelativePath(bad)) << bad;
  }
}

TEST(PublishDocument, EscapesAndFirstGeneration) {
  EXPECT_EQ(XmlEscape("a&b<c>d\"e'f\tg\nh"), "a&amp;b&lt;c&gt;d&quot;e&apos;f&#x9;g&#xA;h");
  EXPECT_EQ(UrlEscapePath("docs/a b#1%.txt"), "docs/a%20b%231%25.txt");
  // Generation 1: MD5 attribute names, no FileBase, no groups.
  PublishedDocument doc;
  doc.generation = 1;
  doc.fileBase = "http://127.0.0.1:8080/packs/";
  doc.groups.resize(1);
  doc.groups[0].name = "base";
  doc.files.resize(1);
  doc.files[0].fileDigest = std::string(64, 'a');
  doc.files[0].groups = {"base"};
  std::string text = WriteDocument(doc);
  EXPECT_EQ(text.find("FileBase"), std::string::npos);
  EXPECT_EQ(text.find("group"), std::string::npos);
  EXPECT_NE(text.find(" md5=\"" + std::string(64, 'a') + "\" packmd5=\""), std::string::npos);
}

TEST(PublishPack, EngineUnpacksPacks) {
  TempDir dir;
  Updater updater;
  std::string key, text, error, path = dir.path() + "/pack";
  ASSERT_TRUE(RandomKey(&key));
  for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i) + "\n";
  for (const std::string& content : {text, std::string()}) {
    for (const std::string& k : {key, std::string()}) {
      std::vector<uint8_t> data(content.begin(), content.end()), pack;
      ASSERT_TRUE(MakePack(data, k, &pack, &error)) << error;
      ASSERT_TRUE(WriteFile(path, std::string(pack.begin(), pack.end())));
      ASSERT_TRUE(updater.UnpackFile(path.c_str(), path.c_str(), k.c_str(),
                                     static_cast<uint32_t>(data.size())))
          << updater.GetLastError();
      EXPECT_EQ(ReadFile(path), content);
    }
  }
  std::vector<uint8_t> pack;
  EXPECT_FALSE(MakePack({'a'}, "short", &pack, &error));
}

TEST(PublishPack, KeysAreFreshAndAlphanumeric) {
  std::set<char> seen;
  std::set<std::string> keys;
  for (int i = 0; i < 1000; ++i) {
    std::string key;
    ASSERT_TRUE(RandomKey(&key));
    ASSERT_EQ(key.size(), 16u);
    for (char c : key) {
      ASSERT_TRUE(isalnum(static_cast<unsigned char>(c))) << key;
      seen.insert(c);
    }
    keys.insert(key);
  }
  EXPECT_EQ(keys.size(), 1000u);
  EXPECT_EQ(seen.size(), 62u);
}

class PublishRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteFile(release_.path() + "/bin/tool", "tool\n", 0750));
    ASSERT_TRUE(WriteFile(release_.path() + "/docs/a b.txt", "docs\n", 0644));
    ASSERT_TRUE(WriteFile(release_.path() + "/README", "readme\n", 0600));
    options_.releaseDir = release_.path();
    options_.outputDir = out_.path() + "/site";
    options_.baseUrl = "http://127.0.0.1:9/";
  }
  bool Run(const std::string& extra, std::string* error) {
    ReleaseDescription d;
    std::string text =
        "[release]\nAppName=Quillon <\"&'>\nAuthor=b\nURL=c\n[group docs]\n[group base]\n"
        "dispName=Base \"program\"\ndesc=one\\ntwo\npriority=90\ndefault=1\ndefaultgrp=1\n"
        "[files]\nbin/*=base,docs,BASE\ndocs/*=docs\n" +
        extra;  // `extra` starts on line 15
    if (!ParseDescription(text, &d, error)) return false;
    return Publish(d, options_, error);
  }

  TempDir release_, out_;
  PublishOptions options_;
};

TEST_F(PublishRelease, LaysOutWhatTheEngineReads) {
  std::string error, key = "k&y<\"'>012345678";
  ASSERT_TRUE(Run("[keys]\nbin/tool = " + key + "\ndocs/a b.txt =\n[outdated]\nold\n", &error))
      << error;
  std::string site = options_.outputDir;
  std::string doc = site + "/updates/quillon5-full-centos7.x86_64.info";
  std::string text = ReadFile(doc);
  EXPECT_FALSE(Exists(doc + ".tmp"));

  // Sizes, modes, digests and packs are checked by installing published
  // releases in the end-to-end tests; here the values that need escaping.
  TempDir base;
  ASSERT_TRUE(WriteFile(base.path() + "/old", "old"));
  Updater updater;
  updater.Init("", (base.path() + "/").c_str(), "updater", "", nullptr);
  updater.infoText = text;
  ASSERT_TRUE(updater.ParseInfo()) << updater.GetLastError();
  EXPECT_EQ(updater.header.appName, "Quillon <\"&'>");
  UpdateGroup* group = updater.GetFirstGroup();
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->displayName, "Base \"program\"");  // priority 90 first
  EXPECT_EQ(group->description, "one\ntwo");
  EXPECT_EQ(group->state, Install);
  EXPECT_EQ(updater.defaultGroup, group);
  std::map<std::string, UpdateFile*> files;
  for (UpdateFile* file = updater.GetFirstFile(); file != nullptr; file = file->next) {
    files[file->path] = file;
  }
  ASSERT_EQ(files.size(), 3u);
  UpdateFile* tool = files["bin/tool"];
  EXPECT_EQ(tool->url, "http://127.0.0.1:9/packs/bin/tool.pak");
  EXPECT_STREQ(tool->key, key.c_str());
  EXPECT_EQ(tool->mode, 0750u) << "modes are written in decimal";
  EXPECT_EQ(tool->groups.size(), 2u);  // each group once
  EXPECT_EQ(files["docs/a b.txt"]->url, "http://127.0.0.1:9/packs/docs/a%20b.txt.pak");
  EXPECT_STREQ(files["docs/a b.txt"]->key, "");
  EXPECT_EQ(updater.outdatedFiles, (std::vector<std::string>{"old"}));
  std::string packPath = site + "/packs/bin/tool.pak";
  ASSERT_TRUE(updater.UnpackFile(packPath.c_str(), (base.path() + "/tool").c_str(), tool->key, 5));
  EXPECT_EQ(ReadFile(base.path() + "/tool"), "tool\n");

  // Publishing again draws fresh keys for the files without a fixed one.
  size_t at = text.find("file=\"README\"");
  std::string first = text.substr(at, text.find("/>", at) - at);
  ASSERT_TRUE(Run("", &error)) << error;
  text = ReadFile(doc);
  at = text.find("file=\"README\"");
  EXPECT_NE(text.substr(at, text.find("/>", at) - at), first);
}

TEST_F(PublishRelease, RefusesInconsistentDescriptions) {
  std::string error;
  EXPECT_FALSE(Run("[keys]\nbin/missing = ABCDEFGHIJKLMNOP\n", &error));
  EXPECT_EQ(error, "line 16: bin/missing is not in the release");
  EXPECT_FALSE(Run("[outdated]\nREADME\n", &error));
  EXPECT_EQ(error, "README is listed as outdated but is part of the release");
  options_.generation = 1;
  EXPECT_FALSE(Run("", &error));
  EXPECT_EQ(error, "package groups need generation 2");
  options_.generation = 0;
  options_.baseUrl = "";
  EXPECT_FALSE(Run("", &error));
  EXPECT_EQ(error, "no base URL: give --base-url or BaseURL in [release]");
  EXPECT_FALSE(Exists(options_.outputDir + "/updates"));
}

TEST_F(PublishRelease, SignsTheFinishedDocument) {
  TempDir keys;
  std::string id, error;
  for (const char* name : {"/old", "/new"}) {
    SigningKey key;
    ASSERT_TRUE(NewKeyPair(keys.path() + name, &id, &error)) << error;
    ASSERT_TRUE(LoadSigningKey(keys.path() + name + ".key", &key, &error)) << error;
    options_.signingKeys.push_back(key);
  }
  std::vector<TrustKey> trusted = {options_.signingKeys[0].publicKey,
                                   options_.signingKeys[1].publicKey};
  std::string doc = options_.outputDir + "/updates/quillon5-full-centos7.x86_64.info";
  struct {
    int64_t serial;  // -1: the publishing time
    int validDays;
    std::string stamp;
  } cases[] = {
      {42, 2, " serial=\"42\" expires=\"1700172800\""},
      {0, 0, " serial=\"0\"/>"},
      {-1, 0, " serial=\"1700000000\"/>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stamp);
    options_.now = 1700000000;
    options_.serial = c.serial;
    options_.validDays = c.validDays;
    ASSERT_TRUE(Run("", &error)) << error;
    std::string text = ReadFile(doc), signatures = ReadFile(doc + ".sig");
    EXPECT_NE(text.find(" document=\"quillon5-full-centos7.x86_64.info\"" + c.stamp),
              std::string::npos)
        << text;
    // One line per key over the final bytes; nothing of the previous
    // document's signatures stays.
    EXPECT_EQ(std::count(signatures.begin(), signatures.end(), '\n'), 2);
    EXPECT_TRUE(trust_check_signatures(text, signatures, {trusted[0]}, &error)) << error;
    EXPECT_TRUE(trust_check_signatures(text, signatures, {trusted[1]}, &error)) << error;
    EXPECT_FALSE(Exists(doc + ".sig.tmp"));
  }

  // Updaters refuse signed first-generation documents; so does the publisher.
  ReleaseDescription plain;
  ASSERT_TRUE(
      ParseDescription("[release]\ngeneration=1\nAppName=a\nAuthor=b\nURL=c\n", &plain, &error));
  EXPECT_FALSE(Publish(plain, options_, &error));
  EXPECT_EQ(error, "signing needs generation 2 (updaters refuse signed generation 1 documents)");
}

}  // namespace
