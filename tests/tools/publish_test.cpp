// updater-publish's modules: the description parser, keys, and a release
// published into a directory and read back by the engine's own parser and
// unpacking. Installing published releases is left to the end-to-end tests.
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

namespace {

// What neither the fixture's release below nor the end-to-end tests read.
TEST(PublishDescription, CommentsLinesAndTheDocumentedExamples) {
  ReleaseDescription d;
  std::string error;
  ASSERT_TRUE(
      ParseDescription("# c\n[release]   ; r\r\nline = 4\ntype = BASIC\nAppName = Quillon #1 ; n\n"
                       "Author = b\nURL = http://x/#top\n",
                       &d, &error))
      << error;
  EXPECT_EQ(DocumentPath(d), "updates/quillon4-basic-centos7.x86_64.info");
  EXPECT_EQ(d.appName, "Quillon");
  EXPECT_EQ(d.appUrl, "http://x/#top");
  ASSERT_TRUE(ParseDescription("[release]\nline=\nAppName=a\nAuthor=b\nURL=c\n", &d, &error));
  EXPECT_EQ(DocumentPath(d), "updates/quillon-full-centos7.x86_64.info");
  for (const char* doc : {"/README.md", "/docs/publish.md"}) {
    std::string example = ReadFile(std::string(getenv("UPDATER_SOURCE_DIR")) + doc);
    size_t start = example.find("```ini\n");
    ASSERT_NE(start, std::string::npos) << doc;
    example = example.substr(start + 7, example.find("```", start + 7) - start - 7);
    ASSERT_TRUE(ParseDescription(example, &d, &error)) << doc << ": " << error;
    EXPECT_FALSE(d.groups.empty()) << doc;
  }
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

TEST(PublishDescription, PatternsPathsAndEscapes) {
  struct {
    const char* pattern;
    const char* path;
    bool match;
  } patterns[] = {
      {"bin/*", "bin/sub/tool", true},  // '*' crosses '/'
      {"lib/?.so", "lib/a.so", true},
      {"bin/*", "sbin/tool", false},
      {"README", "README.txt", false},
  };
  for (const auto& c : patterns) EXPECT_EQ(MatchPattern(c.pattern, c.path), c.match) << c.pattern;
  EXPECT_TRUE(IsPlainRelativePath("a/b c/d.txt"));
  for (const char* bad : {"", "/abs", "a//b", "a/./b", "a/../b", "..", "a/", "a\\b", "a\tb"}) {
    EXPECT_FALSE(IsPlainRelativePath(bad)) << bad;
  }
  EXPECT_EQ(XmlEscape("a&b<c>d\"e'f\tg\nh\r"), "a&amp;b&lt;c&gt;d&quot;e&apos;f&#x9;g&#xA;h&#xD;");
  EXPECT_EQ(UrlEscapePath("docs/a b#1%.txt"), "docs/a%20b%231%25.txt");
}

TEST(PublishPack, FreshUniformKeysAndPacksTheEngineUnpacks) {
  std::set<char> seen;
  std::set<std::string> keys;
  std::string key, text, error;
  for (int i = 0; i < 1000; ++i) {
    ASSERT_TRUE(RandomKey(&key));
    ASSERT_EQ(key.size(), 16u);
    keys.insert(key);
    seen.insert(key.begin(), key.end());
  }
  EXPECT_EQ(keys.size(), 1000u);
  EXPECT_EQ(std::string(seen.begin(), seen.end()),
            "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
  TempDir dir;
  Updater updater;
  const std::string path = dir.path() + "/pack";
  for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i) + "\n";
  for (const std::string& content : {text, std::string()}) {
    for (const std::string& k : {key, std::string()}) {
      std::vector<uint8_t> pack;
      ASSERT_TRUE(MakePack({content.begin(), content.end()}, k, &pack, &error)) << error;
      ASSERT_TRUE(e2e::WriteFile(path, std::string(pack.begin(), pack.end())));
      ASSERT_TRUE(updater.UnpackFile(path.c_str(), path.c_str(), k.c_str(), content.size()))
          << updater.GetLastError();
      EXPECT_EQ(ReadFile(path), content);
    }
  }
  std::vector<uint8_t> pack;
  EXPECT_FALSE(MakePack({'a'}, "short", &pack, &error));
}

class PublishRelease : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(e2e::WriteFile(release_.path() + "/bin/tool", "tool\n", 0750));
    ASSERT_TRUE(e2e::WriteFile(release_.path() + "/docs/a b.txt", "docs\n", 0644));
    ASSERT_TRUE(e2e::WriteFile(release_.path() + "/README", "readme\n", 0600));
    options_.releaseDir = release_.path();
    options_.outputDir = out_.path() + "/site";
    options_.baseUrl = "http://127.0.0.1:9/";
  }
  bool Run(const std::string& extra, std::string* error) {
    ReleaseDescription d;
    std::string text =
        "[release]\nAppName=Quillon <\"&'>\nAuthor=b\nURL=c\n[Group docs]\ndefault=2\n"
        "[group base]\ndispName=Base "
        "\"program\"\ndesc=one\\ntwo\npriority=90\ndefault=1\ndefaultgrp=1\n"
        "[files]\nbin/*=base, docs,BASE,\ndocs/*=docs\n" +
        extra;  // `extra` starts on line 16
    return ParseDescription(text, &d, error) && Publish(d, options_, error);
  }

  TempDir release_, out_;
  PublishOptions options_;
  const std::string doc_ = out_.path() + "/site/updates/quillon5-full-centos7.x86_64.info";
};

// Installing published releases (sizes, modes, digests, packs, group
// states, outdated files) is left to the end-to-end tests; here the values
// that need escaping or merging.
TEST_F(PublishRelease, LaysOutWhatTheEngineReads) {
  std::string error, key = "k&y<\"'>012345678";
  ASSERT_TRUE(Run("[keys]\nbin/tool = " + key + "\ndocs/a b.txt =\n", &error)) << error;
  std::string text = ReadFile(doc_);
  EXPECT_FALSE(Exists(doc_ + ".tmp"));
  Updater updater;
  updater.Init("", (out_.path() + "/").c_str(), "updater", "", nullptr);
  updater.infoText = text;
  ASSERT_TRUE(updater.ParseInfo()) << updater.GetLastError();
  EXPECT_EQ(updater.header.appName, "Quillon <\"&'>");
  UpdateGroup* group = updater.GetFirstGroup();
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->displayName, "Base \"program\"");  // priority 90 first
  EXPECT_EQ(group->description, "one\ntwo");
  EXPECT_EQ(updater.defaultGroup, group);
  ASSERT_NE(group->next, nullptr);
  EXPECT_EQ(group->next->state, Remove);
  std::map<std::string, UpdateFile*> files;
  for (UpdateFile* file = updater.GetFirstFile(); file != nullptr; file = file->next) {
    files[file->path] = file;
  }
  ASSERT_EQ(files.size(), 3u);
  EXPECT_STREQ(files["bin/tool"]->key, key.c_str());
  EXPECT_EQ(files["bin/tool"]->groups.size(), 2u);  // each group once
  EXPECT_EQ(files["docs/a b.txt"]->url, "http://127.0.0.1:9/packs/docs/a%20b.txt.pak");
  EXPECT_STREQ(files["docs/a b.txt"]->key, "");
  // Publishing again draws fresh keys for the files without a fixed one.
  size_t at = text.find("file=\"README\"");
  std::string first = text.substr(at, text.find("/>", at) - at);
  ASSERT_TRUE(Run("", &error)) << error;
  text = ReadFile(doc_);
  at = text.find("file=\"README\"");
  EXPECT_NE(text.substr(at, text.find("/>", at) - at), first);
}

TEST_F(PublishRelease, RefusesInconsistentDescriptions) {
  struct {
    std::string extra;
    int generation;
    std::string baseUrl;
    std::string error;
  } cases[] = {
      {"[keys]\nbin/missing = ABCDEFGHIJKLMNOP\n", 0, "http://h/",
       "line 17: bin/missing is not in the release"},
      {"[outdated]\nREADME\n", 0, "http://h/",
       "README is listed as outdated but is part of the release"},
      {"", 1, "http://h/", "package groups need generation 2"},
      {"", 0, "", "no base URL: give --base-url or BaseURL in [release]"},
  };
  for (const auto& c : cases) {
    options_.generation = c.generation;
    options_.baseUrl = c.baseUrl;
    std::string error;
    EXPECT_FALSE(Run(c.extra, &error));
    EXPECT_EQ(error, c.error);
  }
  EXPECT_FALSE(Exists(out_.path() + "/site/updates"));
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
    std::string text = ReadFile(doc_), signatures = ReadFile(doc_ + ".sig");
    EXPECT_NE(text.find(" document=\"quillon5-full-centos7.x86_64.info\"" + c.stamp),
              std::string::npos)
        << text;
    // One line per key over the final bytes (each key's line is checked end
    // to end); none of the previous document's signatures stays.
    EXPECT_EQ(std::count(signatures.begin(), signatures.end(), '\n'), 2);
    EXPECT_TRUE(
        trust_check_signatures(text, signatures, {options_.signingKeys[1].publicKey}, &error))
        << error;
    EXPECT_FALSE(Exists(doc_ + ".sig.tmp"));
  }
  // Updaters refuse signed first-generation documents; so does the publisher.
  ReleaseDescription plain;
  ASSERT_TRUE(
      ParseDescription("[release]\ngeneration=1\nAppName=a\nAuthor=b\nURL=c\n", &plain, &error));
  EXPECT_FALSE(Publish(plain, options_, &error));
  EXPECT_EQ(error, "signing needs generation 2 (updaters refuse signed generation 1 documents)");
}

}  // namespace
