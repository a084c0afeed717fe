// updater-publish's modules: the description parser, the document writer
// (read back by TinyXML and by the engine's own parser), packs (opened by the
// engine's UnpackFile) and publishing a release into a directory.
#include <gtest/gtest.h>
#include <tinyxml.h>
#include <zlib.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "cli/e2e_fixture.h"
#include "description.h"
#include "document.h"
#include "hash.h"
#include "pack.h"
#include "publisher.h"
#include "updater.h"

using e2e::Exists;
using e2e::ReadFile;
using e2e::TempDir;
using e2e::WriteFile;

namespace {

const char kDescription[] =
    "# comment\n"
    "[release]\r\n"
    "generation = 2\n"
    "line = 4\n"
    "type = BASIC\n"
    "platform = debian12.amd64\n"
    "AppName = Quillon & Co\n"
    "Author = Tessaworks\n"
    "URL = http://www.example.com/\n"
    "BaseURL = http://127.0.0.1:8080/\n"
    "PackDir = files/packs\n"
    "\n"
    "[group base]\n"
    "dispName = Base \"program\"\n"
    "menu = Program\n"
    "desc = first line\\nsecond line\n"
    "priority = 90\n"
    "default = 1\n"
    "defaultgrp = 1\n"
    "[Group docs]\n"
    "default = 2\n"
    "; a comment\n"
    "[files]\n"
    "bin/* = base\n"
    "docs/* = docs, BASE,\n"
    "[keys]\n"
    "bin/tool = 0123456789abcdef\n"
    "docs/a b.txt =\n"
    "[outdated]\n"
    "lib/old.so\n";

TEST(PublishDescription, ReadsEverySection) {
  ReleaseDescription d;
  std::string error;
  ASSERT_TRUE(ParseDescription(kDescription, &d, &error)) << error;
  EXPECT_EQ(d.generation, 2);
  EXPECT_EQ(DocumentPath(d), "updates/quillon4-basic-debian12.amd64.info");
  EXPECT_EQ(d.appName, "Quillon & Co");
  EXPECT_EQ(d.baseUrl, "http://127.0.0.1:8080/");
  EXPECT_EQ(d.packDir, "files/packs");
  ASSERT_EQ(d.groups.size(), 2u);
  EXPECT_EQ(d.groups[0].name, "base");
  EXPECT_EQ(d.groups[0].dispName, "Base \"program\"");
  EXPECT_EQ(d.groups[0].desc, "first line\\nsecond line");  // the engine turns \n into a break
  EXPECT_EQ(d.groups[0].priority, 90);
  EXPECT_EQ(d.groups[0].defaultState, 1);
  EXPECT_TRUE(d.groups[0].defaultGroup);
  EXPECT_EQ(d.groups[1].name, "docs");
  EXPECT_EQ(d.groups[1].priority, 50);
  EXPECT_EQ(d.groups[1].defaultState, 2);
  ASSERT_EQ(d.fileRules.size(), 2u);
  EXPECT_EQ(d.fileRules[1].pattern, "docs/*");
  EXPECT_EQ(d.fileRules[1].groups, (std::vector<std::string>{"docs", "base"}));
  ASSERT_EQ(d.keyRules.size(), 2u);
  EXPECT_EQ(d.keyRules[0].key, "0123456789abcdef");
  EXPECT_EQ(d.keyRules[1].path, "docs/a b.txt");
  EXPECT_EQ(d.keyRules[1].key, "");
  EXPECT_EQ(d.outdated, (std::vector<std::string>{"lib/old.so"}));

  // Defaults: generation 2, line 5, full, centos7.x86_64.
  ASSERT_TRUE(ParseDescription("[release]\nAppName=a\nAuthor=b\nURL=c\n", &d, &error));
  EXPECT_EQ(DocumentPath(d), "updates/quillon5-full-centos7.x86_64.info");
  EXPECT_EQ(d.generation, 2);
  ASSERT_TRUE(ParseDescription("[release]\nline=\nAppName=a\nAuthor=b\nURL=c\n", &d, &error));
  EXPECT_EQ(DocumentPath(d), "updates/quillon-full-centos7.x86_64.info");
}

TEST(PublishDescription, ErrorsNameTheLine) {
  const std::string head = "[release]\nAppName=a\nAuthor=b\nURL=c\n";  // lines 1-4
  struct {
    std::string text;
    std::string error;
  } cases[] = {
      {head + "generation = 3\n", "line 5: generation must be 1 or 2"},
      {head + "colour = red\n", "line 5: unknown key 'colour' in [release]"},
      {head + "[other]\n", "line 5: unknown section [other]"},
      {head + "[files\n", "line 5: section header without ']'"},
      {"AppName=a\n", "line 1: entry outside of a section"},
      {head + "[group a,b]\n",
       "line 5: a group name may hold only letters, digits, '_', '-' and '.'"},
      {head + "[group a]\n[group A]\n", "line 6: group 'A' is described twice"},
      {head + "[group a]\npriority = high\n", "line 6: priority must be a whole number"},
      {head + "[group a]\ndefault = 3\n",
       "line 6: default must be 0 (none), 1 (install) or 2 (remove)"},
      {head + "[files]\nbin/* = base\n",
       "line 6: unknown group 'base' (describe groups before [files])"},
      {head + "[files]\nbin/*\n", "line 6: expected KEY = VALUE"},
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
    EXPECT_EQ(d.appName, "Quillon");
    EXPECT_EQ(d.groups.size(), 2u);
    EXPECT_EQ(d.keyRules.size(), 2u);
    EXPECT_EQ(d.keyRules[1].key, "");
    EXPECT_EQ(d.outdated, (std::vector<std::string>{"plugins/legacy.so"}));
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

PublishedDocument SampleDocument() {
  PublishedDocument doc;
  doc.generation = 2;
  doc.appName = "Quillon <\"&'>";
  doc.author = "Tessaworks";
  doc.appUrl = "http://www.example.com/?a=1&b=2";
  doc.fileBase = "http://127.0.0.1:8080/packs/";
  PackageGroup low;
  low.name = "extras";
  low.priority = 10;
  PackageGroup high;
  high.name = "base";
  high.dispName = "Base\tprogram";
  high.desc = "one\\ntwo";
  high.priority = 90;
  high.defaultState = 1;
  high.defaultGroup = true;
  doc.groups = {low, high};
  PublishedFile file;
  file.path = "bin/tool";
  file.url = "bin/tool.pak";
  file.key = "k&y<\"'>012345678";
  file.fileDigest = std::string(64, 'a');
  file.packDigest = std::string(64, 'B');
  file.groups = {"base", "extras"};
  file.size = 5;
  file.mode = 0755;
  doc.files.push_back(file);
  file.path = "docs/a b.txt";
  file.url = UrlEscapePath("docs/a b.txt") + ".pak";
  file.key = "";
  file.groups = {};
  file.mode = 0;
  doc.files.push_back(file);
  doc.outdated = {"lib/old.so", "lib/gone.so"};
  return doc;
}

TEST(PublishDocument, EscapedValuesSurviveXmlParsing) {
  EXPECT_EQ(XmlEscape("a&b<c>d\"e'f\tg\nh"), "a&amp;b&lt;c&gt;d&quot;e&apos;f&#x9;g&#xA;h");
  EXPECT_EQ(UrlEscapePath("docs/a b#1%.txt"), "docs/a%20b%231%25.txt");

  PublishedDocument doc = SampleDocument();
  std::string text = WriteDocument(doc);
  TiXmlDocument parsed;
  parsed.Parse(text.c_str(), nullptr, TIXML_ENCODING_UNKNOWN);
  ASSERT_FALSE(parsed.Error()) << parsed.ErrorDesc();
  TiXmlElement* root = parsed.FirstChildElement("update_info");
  ASSERT_NE(root, nullptr);
  EXPECT_STREQ(root->Attribute("version"), "2");
  TiXmlElement* info = root->FirstChildElement("info");
  EXPECT_EQ(info->Attribute("AppName"), doc.appName);
  EXPECT_EQ(info->Attribute("URL"), doc.appUrl);
  EXPECT_EQ(info->Attribute("FileBase"), doc.fileBase);
  TiXmlElement* group = root->FirstChildElement("groups")->FirstChildElement("group");
  EXPECT_STREQ(group->Attribute("name"), "extras");
  EXPECT_EQ(group->Attribute("dispName"), nullptr);
  group = group->NextSiblingElement("group");
  EXPECT_STREQ(group->Attribute("dispName"), "Base\tprogram");
  EXPECT_STREQ(group->Attribute("defaultgrp"), "1");
  TiXmlElement* file = root->FirstChildElement("files")->FirstChildElement();
  EXPECT_EQ(file->Attribute("key"), doc.files[0].key);
  EXPECT_STREQ(file->Attribute("modes"), "493");  // decimal
  EXPECT_STREQ(file->Attribute("group"), "base,extras");
  EXPECT_EQ(file->Attribute("md5"), nullptr);
  file = file->NextSiblingElement();
  EXPECT_STREQ(file->Attribute("url"), "docs/a%20b.txt.pak");
  EXPECT_EQ(file->Attribute("group"), nullptr);
  TiXmlElement* gone = root->FirstChildElement("delete")->FirstChildElement();
  EXPECT_STREQ(gone->NextSiblingElement()->Attribute("file"), "lib/gone.so");

  // Generation 1: MD5 attribute names, no FileBase, no groups.
  doc.generation = 1;
  text = WriteDocument(doc);
  EXPECT_EQ(text.find("FileBase"), std::string::npos);
  EXPECT_EQ(text.find("<groups>"), std::string::npos);
  EXPECT_EQ(text.find(" group="), std::string::npos);
  EXPECT_NE(text.find(" md5=\"" + std::string(64, 'a') + "\" packmd5=\""), std::string::npos);
}

TEST(PublishDocument, EngineReadsWhatIsWritten) {
  TempDir base;
  ASSERT_TRUE(WriteFile(base.path() + "/lib/old.so", "old"));
  Updater updater;
  updater.Init("http://127.0.0.1/x", (base.path() + "/").c_str(), "updater", "", nullptr);
  updater.infoText = WriteDocument(SampleDocument());
  ASSERT_TRUE(updater.ParseInfo()) << updater.GetLastError();
  EXPECT_EQ(updater.header.infoVersion, 2);
  EXPECT_EQ(updater.header.appName, "Quillon <\"&'>");
  UpdateGroup* group = updater.GetFirstGroup();
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->name, "base");  // priority 90 first
  EXPECT_EQ(group->displayName, "Base\tprogram");
  EXPECT_EQ(group->description, "one\ntwo");
  EXPECT_EQ(group->state, Install);
  EXPECT_EQ(updater.defaultGroup, group);
  UpdateFile* file = updater.GetFirstFile();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->url, "http://127.0.0.1:8080/packs/bin/tool.pak");
  EXPECT_STREQ(file->key, "k&y<\"'>012345678");
  EXPECT_EQ(file->mode, 0755u);
  EXPECT_EQ(file->groups.size(), 2u);
  EXPECT_TRUE(file->needsUpdate);
  file = file->next;
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->path, "docs/a b.txt");
  EXPECT_EQ(file->url, "http://127.0.0.1:8080/packs/docs/a%20b.txt.pak");
  EXPECT_STREQ(file->packDigest, std::string(64, 'B').c_str());
  EXPECT_EQ(updater.outdatedFiles, (std::vector<std::string>{"lib/old.so"}));
}

TEST(PublishPack, EngineUnpacksPacks) {
  TempDir dir;
  Updater updater;
  std::string key;
  ASSERT_TRUE(RandomKey(&key));
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(i) + "\n";
  struct {
    std::string content;
    std::string key;
  } cases[] = {{text, key}, {text, ""}, {"", key}, {"", ""}};
  for (const auto& c : cases) {
    std::vector<uint8_t> data(c.content.begin(), c.content.end());
    std::vector<uint8_t> pack;
    std::string error;
    ASSERT_TRUE(MakePack(data, c.key, &pack, &error)) << error;
    std::string path = dir.path() + "/pack";
    ASSERT_TRUE(WriteFile(path, std::string(pack.begin(), pack.end())));
    ASSERT_TRUE(updater.UnpackFile(path.c_str(), path.c_str(), c.key.c_str(),
                                   static_cast<uint32_t>(data.size())))
        << updater.GetLastError();
    EXPECT_EQ(ReadFile(path), c.content);
  }
  // Enciphered from the first byte: the zlib header is not visible, and the
  // plain pack is exactly what zlib's compress makes.
  std::vector<uint8_t> data(text.begin(), text.end()), plain, ciphered;
  std::string error;
  ASSERT_TRUE(MakePack(data, "", &plain, &error));
  ASSERT_TRUE(MakePack(data, key, &ciphered, &error));
  ASSERT_EQ(plain.size(), ciphered.size());
  EXPECT_NE(plain, ciphered);
  uLongf length = compressBound(data.size());
  std::vector<uint8_t> reference(length);
  ASSERT_EQ(compress(reference.data(), &length, data.data(), data.size()), Z_OK);
  reference.resize(length);
  EXPECT_EQ(plain, reference);
  EXPECT_FALSE(MakePack(data, "short", &plain, &error));
}

TEST(PublishPack, KeysAndDigests) {
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

  std::vector<uint8_t> abc = {'a', 'b', 'c'};
  std::string hex;
  ASSERT_TRUE(DigestBytes(1, abc, &hex));
  EXPECT_EQ(hex, "900150983cd24fb0d6963f7d28e17f72");
  ASSERT_TRUE(DigestBytes(2, abc, &hex));
  EXPECT_EQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  ASSERT_TRUE(DigestBytes(2, {}, &hex));
  EXPECT_EQ(hex, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
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
        "[release]\nAppName=a\nAuthor=b\nURL=c\n"
        "[group base]\n[group docs]\n[files]\nbin/*=base\ndocs/*=docs\n" +
        extra;
    if (!ParseDescription(text, &d, error)) return false;
    return Publish(d, options_, error);
  }

  TempDir release_, out_;
  PublishOptions options_;
};

TEST_F(PublishRelease, LaysOutDocumentAndPacks) {
  std::string error;
  ASSERT_TRUE(Run("[keys]\nbin/tool = ABCDEFGHIJKLMNOP\ndocs/a b.txt =\n[outdated]\nold\n", &error))
      << error;
  std::string site = options_.outputDir;
  std::string text = ReadFile(site + "/updates/quillon5-full-centos7.x86_64.info");
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.find("FileBase=\"http://127.0.0.1:9/packs/\""), std::string::npos);
  EXPECT_NE(text.find("<file file=\"README\" size=\"7\" modes=\"384\" url=\"README.pak\" key=\""),
            std::string::npos);
  EXPECT_NE(text.find("<file file=\"bin/tool\" size=\"5\" modes=\"488\" url=\"bin/tool.pak\" "
                      "group=\"base\" key=\"ABCDEFGHIJKLMNOP\" sha=\""),
            std::string::npos);
  EXPECT_NE(text.find("url=\"docs/a%20b.txt.pak\" group=\"docs\" key=\"\""), std::string::npos);
  EXPECT_NE(text.find("<delete>\n    <file file=\"old\"/>"), std::string::npos);
  EXPECT_FALSE(Exists(site + "/updates/quillon5-full-centos7.x86_64.info.tmp"));

  // The digests name the file and the pack as served.
  std::string pack = ReadFile(site + "/packs/bin/tool.pak");
  char hex[65];
  ASSERT_TRUE(hash_buffer("sha256", pack.data(), pack.size(), hex, sizeof hex));
  EXPECT_NE(text.find(std::string("packsha=\"") + hex + "\""), std::string::npos);
  ASSERT_TRUE(hash_buffer("sha256", "tool\n", 5, hex, sizeof hex));
  EXPECT_NE(text.find(std::string("sha=\"") + hex + "\""), std::string::npos);
  // The unenciphered pack is a plain zlib stream.
  std::string plain = ReadFile(site + "/packs/docs/a b.txt.pak");
  char out[16];
  uLongf length = sizeof out;
  ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(out), &length,
                       reinterpret_cast<const Bytef*>(plain.data()), plain.size()),
            Z_OK);
  EXPECT_EQ(std::string(out, length), "docs\n");

  // Publishing again draws fresh keys for the files without a fixed one.
  size_t at = text.find("file=\"README\"");
  std::string first = text.substr(at, text.find("/>", at) - at);
  ASSERT_TRUE(Run("", &error)) << error;
  text = ReadFile(site + "/updates/quillon5-full-centos7.x86_64.info");
  at = text.find("file=\"README\"");
  EXPECT_NE(text.substr(at, text.find("/>", at) - at), first);
}

TEST_F(PublishRelease, RefusesInconsistentDescriptions) {
  std::string error;
  EXPECT_FALSE(Run("[keys]\nbin/missing = ABCDEFGHIJKLMNOP\n", &error));
  EXPECT_EQ(error, "line 11: bin/missing is not in the release");
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

}  // namespace
