// ParseInfo over documents of both generations against real files in a
// temporary base directory.
#include <sys/mman.h>
#include <tinyxml.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "engine_test_util.h"
#include "tinyxml_text.h"

using enginetest::Doc;
using enginetest::FileV1;
using enginetest::FileV2;
using enginetest::Group;
using enginetest::InfoLines;
using enginetest::Sha;

using ParseInfo = enginetest::ParseFixture;

namespace {

// `text` without the attribute `name="..."`.
std::string Drop(std::string text, const std::string& name) {
  size_t at = text.find(" " + name + "=") + 1;
  return text.erase(at, text.find('"', text.find('"', at) + 1) + 1 - at);
}

}  // namespace

TEST_F(ParseInfo, ReportsStructuralFailures) {
  updater.infoText = "";
  EXPECT_FALSE(updater.ParseInfo());
  EXPECT_EQ(Error(), "Error parsing updater-info.xml (Error document empty. at row 0, col 0)");
  updater.infoText = "<update_info version=\"2\">\n<info a=\"1\"";
  EXPECT_FALSE(updater.ParseInfo());
  EXPECT_EQ(Error(), "Error parsing updater-info.xml (Error parsing Element. at row 2, col 7)");
  updater.infoText = "<Update_Info version=\"2\"><info/><files/></Update_Info>";
  EXPECT_FALSE(updater.ParseInfo());
  EXPECT_EQ(Error(), "Unable to find update_info element!");

  Doc doc;
  doc.version = "7";
  doc.info = "-";
  EXPECT_FALSE(Parse(doc));
  EXPECT_EQ(Error(), "Unable to find info element!");
  EXPECT_EQ(InfoLines(), std::vector<std::string>{"Info version: 7"});

  // Groups built before the missing files element stay.
  doc = Doc();
  doc.groups = Group("core") + Group("extras");
  doc.files = "-";
  EXPECT_FALSE(Parse(doc));
  EXPECT_EQ(Error(), "Unable to find files element!");
  EXPECT_EQ(enginetest::GroupOrder(updater), "core,extras");
  EXPECT_EQ(updater.header.fileBase, "http://files.example/base/");
}

TEST_F(ParseInfo, MissingRequiredAttributesNameElementAndAttribute) {
  Doc base, doc;
  base.files = FileV2("a", Sha("a"));
  doc = base;
  doc.version = "-";
  ExpectFailure(doc, "Element \"update_info\" (row 1) has no \"version\" attribute!");
  for (const char* name : {"AppName", "Author", "URL", "FileBase"}) {
    doc = base;
    doc.info = Drop(" " + doc.info, name);
    ExpectFailure(doc, std::string("Element \"info\" (row 2) has no \"") + name + "\" attribute!");
  }
  doc = base;
  doc.groups = Group("ok") + "<group dispName=\"x\"/>";
  ExpectFailure(doc, "Element \"group\" (row 3) has no \"name\" attribute!");
  for (const char* name : {"file", "url", "key", "sha", "packsha"}) {
    doc = base;
    doc.files = Drop(doc.files, name);
    ExpectFailure(doc, std::string("Element \"file\" (row 4) has no \"") + name + "\" attribute!");
    EXPECT_EQ(updater.fileCount, 0);
  }
  doc = base;
  doc.deletes = "<old file=\"x\"/><old name=\"y\"/>";
  ExpectFailure(doc, "Element \"old\" (row 5) has no \"file\" attribute!");
  // The first generation needs "md5" but not "packmd5".
  doc.version = "1";
  doc.files = "<f file=\"a\" url=\"u\" key=\"\" packmd5=\"00\"/>";
  ExpectFailure(doc, "Element \"f\" (row 4) has no \"md5\" attribute!");
}

TEST_F(ParseInfo, BoundsKeysDigestsAndSizes) {
  const std::string of = " of element \"file\" (row 4) ";
  Doc doc;
  doc.files = "<file file=\"a\" url=\"a\" key=\"0123456789abcdefX\" sha=\"0\" packsha=\"\"/>";
  ExpectFailure(doc, "Attribute \"key\"" + of + "is longer than 16 characters!");
  doc.files = FileV2("a", std::string(65, 'a'));
  ExpectFailure(doc, "Attribute \"sha\"" + of + "is longer than 64 characters!");
  doc.files = FileV2("a", "00", "size=\"-1\"");
  ExpectFailure(doc, "Attribute \"size\"" + of + "is not a size below 4 GiB: -1");
  doc.files = FileV2("a", "00", "size=\"4294967296\"");
  ExpectFailure(doc, "Attribute \"size\"" + of + "is not a size below 4 GiB: 4294967296");
  EXPECT_EQ(updater.fileCount, 0);
  doc.version = "1";
  doc.files = FileV1("a", "00", "packmd5=\"" + std::string(65, 'b') + "\"");
  ExpectFailure(doc, "Attribute \"packmd5\"" + of + "is longer than 64 characters!");

  // The largest size, a full key, a full digest and a short key are taken;
  // a short key is padded with zero bytes.
  std::string full(64, 'F');
  doc.version = "2";
  doc.files = FileV2("a", full, "size=\"4294967295\"") +
              "<file file=\"b\" url=\"b\" key=\"0123456789abcdef\" sha=\"0\" packsha=\"1\"/>" +
              "<file file=\"c\" url=\"c\" key=\"abc\" sha=\"0\" packsha=\"" + full + "\"/>";
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_EQ(FileAt(0)->size, 4294967295LL);
  EXPECT_STREQ(FileAt(0)->fileDigest, full.c_str());
  EXPECT_STREQ(FileAt(1)->key, "0123456789abcdef");
  const char padded[17] = {'a', 'b', 'c'};
  EXPECT_EQ(memcmp(FileAt(2)->key, padded, sizeof(padded)), 0);
  EXPECT_STREQ(FileAt(2)->packDigest, full.c_str());
}

// TinyXML parses nesting by recursion: a hostile document nested deeply must
// be refused, not overflow the stack, however its tags are disguised.
TEST_F(ParseInfo, RefusesDeeplyNestedDocuments) {
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "<a>";
  const std::string lead = "<update_info version=\"2\">\n";
  const std::string error =
      "Error parsing updater-info.xml (Elements nested deeper than 256 at row 2, col ";
  for (const std::string& prefix :
       {std::string(), std::string(300, ' ') + "<x a='/>'/>", std::string("</x></x></x>"),
        std::string("< '>"), std::string("<!-- <b> -->"), std::string("<!x '>")}) {
    updater.infoText = lead + prefix + deep;
    EXPECT_FALSE(updater.ParseInfo());
    EXPECT_EQ(Error().substr(0, error.size()), error) << prefix;
  }
  // Markup that only looks like nesting is taken: tags in comments, CDATA and
  // quoted values, and empty elements.
  std::string noise;
  for (int i = 0; i < 300; ++i) noise += "<!-- <c> --><![CDATA[<d>]]><e/><f v=\"<g>\"/>";
  Doc doc;
  doc.groups = noise;
  doc.files = FileV2("a", Sha("a"));
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_EQ(updater.fileCount, 1);
}

TEST_F(ParseInfo, KeepsPathsInsideTheBaseDirectory) {
  Put("secret", "x");
  Doc files, deletes;
  deletes.files = "";
  for (std::string path : {"..", "../secret", "a/../../secret", "a/..", "/..//x"}) {
    files.files = FileV2(path, "00");
    ExpectFailure(files,
                  "Path \"" + path + "\" of element \"file\" (row 4) leaves the base directory!");
    EXPECT_EQ(updater.fileCount, 0);
    deletes.deletes = "<f file=\"" + path + "\"/>";
    ExpectFailure(deletes,
                  "Path \"" + path + "\" of element \"f\" (row 5) leaves the base directory!");
    EXPECT_TRUE(updater.outdatedFiles.empty());
  }
  files.files = FileV2("", "00");
  ExpectFailure(files, "Element \"file\" (row 4) has an empty \"file\" path!");
  deletes.deletes = "<f file=\"\"/>";
  ExpectFailure(deletes, "Element \"f\" (row 5) has an empty \"file\" path!");
  std::string longPath(1100, 'p');
  deletes.deletes = "<f file=\"" + longPath + "\"/>";
  ExpectFailure(deletes, "Path \"" + longPath + "\" of element \"f\" (row 5) is too long!");

  // Names that merely contain dots, and absolute-looking paths, stay inside.
  Put("..data", "y");
  Doc doc;
  doc.files = FileV2("a..b/..c", "00") + FileV2("/abs", "00");
  doc.deletes = "<f file=\"..data\"/><f file=\"/..data\"/>";
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_EQ(updater.outdatedFiles, (std::vector<std::string>{"..data", "/..data"}));
}

TEST_F(ParseInfo, RejectsGroupNamesThatCannotBeIniKeys) {
  const char* bad[] = {"",       "a=b",   "a&#13;b", "a&#10;b",    "[groups]",
                       "a&#9;b", " lead", "trail ",  "two  blanks"};
  const char* shown[] = {"",     "a=b",   "a\rb",   "a\nb",       "[groups]",
                         "a\tb", " lead", "trail ", "two  blanks"};
  for (int i = 0; i < 9; ++i) {
    Doc doc;
    doc.groups = Group("fine") + Group(bad[i]);
    ExpectFailure(doc, std::string("Group name \"") + shown[i] +
                           "\" (row 3) cannot be stored in .updater.ini!");
  }
  Doc doc;
  doc.groups = Group("a]b") + Group("x[y") + Group("one blank");
  EXPECT_TRUE(Parse(doc)) << Error();
}

TEST_F(ParseInfo, FirstGenerationIgnoresGroupsAndFileBase) {
  std::string content = "installed content";
  Put("current.bin", content);
  Put("stale.bin", "old");
  Doc doc;
  doc.version = "1";
  doc.groups = Group("core");
  std::string md5 = enginetest::Digest("md5", content);
  doc.files = FileV1("current.bin", md5, "group=\"core\" size=\"17\" modes=\"0755\"") +
              FileV1("stale.bin", md5) + FileV1("missing.bin", md5) +
              "<x file=\"rel path\" url=\"relative/pack one\" key=\"k\" md5=\"0\" packmd5=\"AB\"/>";
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_EQ(updater.header.fileBase, "");
  EXPECT_EQ(updater.GetFirstGroup(), nullptr);
  EXPECT_EQ(updater.fileCount, 4);
  EXPECT_EQ(updater.pendingCount, 3);
  EXPECT_FALSE(FileAt(0)->needsUpdate);
  EXPECT_EQ(FileAt(0)->size, 17);
  EXPECT_EQ(FileAt(0)->mode, 755u) << "modes are decimal";
  EXPECT_EQ(FileAt(3)->url, "relative/pack%20one");
  EXPECT_STREQ(FileAt(3)->packDigest, "AB");
  EXPECT_TRUE(FileAt(0)->groups.empty());
  EXPECT_EQ(updater.filesTail, FileAt(3));
}

TEST_F(ParseInfo, JoinsUrlsWithFileBase) {
  const char* urls[][2] = {
      {"HTTP://other.example/x y", "HTTP://other.example/x%20y"},
      {"HtTpS://s.example/p", "HtTpS://s.example/p"},
      {"fTp://f.example/p", "fTp://f.example/p"},
      {"dir/pack one.z", "http://files.example/my%20base/dir/pack%20one.z"},
      {"httpx://no", "http://files.example/my%20base/httpx://no"},
  };
  Doc doc;
  doc.version = "3";  // behaves as 2
  doc.info = "AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"http://files.example/my base/\"";
  for (const auto& url : urls) {
    doc.files +=
        std::string("<f file=\"1\" url=\"") + url[0] + "\" key=\"\" sha=\"0\" packsha=\"\"/>";
  }
  ASSERT_TRUE(Parse(doc)) << Error();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(FileAt(i)->url, urls[i][1]);
}

TEST_F(ParseInfo, ReadsGroupAttributesAndFileGroupLists) {
  Doc doc;
  doc.groups = Group("core", "dispName=\"\" menu=\"Main\" desc=\"one\\ntwo\\n\" defaultgrp=\"1\"") +
               Group("Extras", "dispName=\"More stuff\" priority=\"x\" default=\"1\"") +
               Group("tools", "priority=\"-3\" default=\"2\" defaultgrp=\"7\"") +
               Group("misc", "defaultgrp=\"0\"");
  doc.files = FileV2("a", "0", "group=\"CORE,,extras,Core,nope,\"") +
              FileV2("b", "0", "group=\"core, tools\"") + FileV2("c", "0", "group=\"\"");
  ASSERT_TRUE(Parse(doc)) << Error();
  UpdateGroup* core = updater.FindGroup("core");
  UpdateGroup* extras = updater.FindGroup("EXTRAS");
  UpdateGroup* tools = updater.FindGroup("tools");
  ASSERT_TRUE(core && extras && tools);
  EXPECT_EQ(core->displayName, "core");
  EXPECT_EQ(core->menu, "Main");
  EXPECT_EQ(core->description, "one\ntwo\n");
  EXPECT_EQ(core->state, None);
  EXPECT_TRUE(core->isDefaultGroup);
  EXPECT_EQ(extras->displayName, "More stuff");
  EXPECT_EQ(extras->priority, 0) << "no digits read as 0";
  EXPECT_EQ(extras->state, Install);
  EXPECT_EQ(tools->priority, -3);
  EXPECT_EQ(tools->state, Remove);
  EXPECT_FALSE(updater.FindGroup("misc")->isDefaultGroup);
  EXPECT_EQ(updater.defaultGroup, tools) << "the last default group wins";

  EXPECT_EQ(FileAt(0)->groups, (std::vector<UpdateGroup*>{core, extras, core}));
  EXPECT_EQ(FileAt(1)->groups, (std::vector<UpdateGroup*>{core})) << "\" tools\" is no name";
  EXPECT_TRUE(FileAt(2)->groups.empty());

  // A long description keeps its first 1023 characters.
  updater.Init("", dir.base().c_str(), "", "", nullptr);
  doc.groups = Group("long", "desc=\"" + std::string(1500, 'd') + "\"");
  doc.files = "";
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_EQ(updater.GetFirstGroup()->description, std::string(1023, 'd'));
}

TEST_F(ParseInfo, IniStatesOverrideDocumentDefaults) {
  std::string ini = dir / ".updater.ini";
  ASSERT_TRUE(enginetest::WriteFile(
      ini, "[other]\r\nremoved=1\r\n[groups]\r\nremoved=2\r\nTHREE=3\r\nneg=-1\r\nnone=0\r\n"));
  const char* names[] = {"removed", "three", "neg", "none", "absent", "wild"};
  const GroupState expected[] = {Remove, None, None, None, Install, None};
  Doc doc;
  for (const char* name : names)
    doc.groups += Group(name, name[0] == 'w' ? "default=\"9\"" : "default=\"1\"");
  updater.Init("", dir.base().c_str(), "", ini.c_str(), nullptr);
  ASSERT_TRUE(Parse(doc)) << Error();
  // Out-of-range values, from the INI file or the document, read as None.
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(updater.FindGroup(names[i])->state, expected[i]) << names[i];

  // Without an INI file the document's values stand unchecked; a missing
  // file gives the defaults and is not created.
  updater.Init("", dir.base().c_str(), "", "", nullptr);
  ASSERT_TRUE(Parse(doc));
  EXPECT_EQ(updater.FindGroup("removed")->state, Install);
  EXPECT_EQ(static_cast<int>(updater.FindGroup("wild")->state), 9);
  updater.Init("", dir.base().c_str(), "", (dir / "missing.ini").c_str(), nullptr);
  ASSERT_TRUE(Parse(doc));
  EXPECT_EQ(updater.FindGroup("removed")->state, Install);
  EXPECT_FALSE(enginetest::Exists(dir / "missing.ini"));
}

TEST_F(ParseInfo, JudgesInstalledFilesByDigest) {
  std::string content = "the installed bot";
  std::string sha = Sha(content), upper = sha;
  for (char& c : upper) c = toupper(c);
  Put("same", content);
  Put("other", content + "!");
  ASSERT_EQ(mkdir((dir / "dir").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
  Put("sub/deep", content);
  Doc doc;
  doc.files = FileV2("same", sha) + FileV2("same", upper) + FileV2("other", sha) +
              FileV2("missing", sha) + FileV2("dir", sha) + FileV2("sub/deep", sha) +
              FileV2("same", "");
  ASSERT_TRUE(Parse(doc)) << Error();
  bool expected[] = {false, false, true, true, true, false, true};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(FileAt(i)->needsUpdate, expected[i]) << i;
  EXPECT_EQ(updater.pendingCount, 4);
  EXPECT_TRUE(updater.HasWork());
}

TEST_F(ParseInfo, CollectsExistingOutdatedFiles) {
  Put("old.dll", "x");
  ASSERT_EQ(mkdir((dir / "olddir").c_str(), 0755), 0);
  Doc doc;
  doc.files = "";
  doc.deletes = "<f file=\"old.dll\"/><g file=\"gone.dll\"/>text<!-- c --><h file=\"olddir\"/>";
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_EQ(updater.outdatedFiles, (std::vector<std::string>{"old.dll", "olddir"}));
  EXPECT_EQ(updater.pendingCount, 0);
  EXPECT_TRUE(updater.HasWork()) << "outdated files alone are work";

  updater.Init("", dir.base().c_str(), "", "", nullptr);
  doc.deletes = "<f file=\"gone.dll\"/>";
  ASSERT_TRUE(Parse(doc));
  EXPECT_FALSE(updater.HasWork());
}

namespace {

// A document text that ends inside a UTF-8 sequence, in a form that TinyXML
// reads as UTF-8 (a byte-order mark or an XML declaration says so).
struct Truncated {
  std::string text;
  size_t missing;  // bytes its last sequence lacks
};

const char kTruncatedRest[] =
    "\" url=\"u\" key=\"\" sha=\"0\" packsha=\"\"/></files></update_info>";

std::vector<Truncated> TruncatedDocuments() {
  const std::string heads[] = {"\xEF\xBB\xBF", "<?xml version=\"1.0\"?>\n"};
  const std::string body =
      "<update_info version=\"2\">\n<info AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"f/\"/>\n"
      "<files><f file=\"a";
  const Truncated endings[] = {{"\xC3", 1}, {"\xE2", 2},     {"\xE2\x82", 1},
                               {"\xF0", 3}, {"\xF0\x9F", 2}, {"\xF0\x9F\x98", 1}};
  std::vector<Truncated> documents;
  for (const std::string& head : heads) {
    for (const Truncated& ending : endings) {
      documents.push_back({head + body + ending.text, ending.missing});
    }
  }
  return documents;
}

// Parses `padded` with TinyXML from a buffer that ends right before a page
// that cannot be read, and leaves the process with status 0 when TinyXML
// stayed inside the buffer.
void ParseBeforeGuardPage(const std::string& padded) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t length = padded.size() + 1;  // the terminator of c_str() too
  if (length > page) _exit(2);
  void* pages = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (pages == MAP_FAILED || mprotect(static_cast<char*>(pages) + page, page, PROT_NONE) != 0) {
    _exit(3);
  }
  char* start = static_cast<char*>(pages) + page - length;
  memcpy(start, padded.c_str(), length);
  {
    TiXmlDocument document;
    document.Parse(start, nullptr, TIXML_ENCODING_UNKNOWN);
    if (!document.Error()) _exit(4);
  }
  _exit(0);
}

}  // namespace

// TinyXML steps over a whole UTF-8 sequence by its lead byte alone: a text
// that ends inside one makes it step over the terminating zero. The padded
// text keeps it inside the buffer.
TEST(TinyXmlText, KeepsTinyXmlInsideTheBuffer) {
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  for (const Truncated& document : TruncatedDocuments()) {
    std::string padded = TinyXmlText(document.text + '\0' + "ignored");
    // Cut at the first zero byte, then only zero bytes.
    ASSERT_EQ(padded.substr(0, document.text.size()), document.text);
    ASSERT_EQ(padded.find_first_not_of('\0', document.text.size()), std::string::npos);
    EXPECT_EXIT(ParseBeforeGuardPage(padded), testing::ExitedWithCode(0), "") << document.text;
  }
}

// Bytes planted behind the end of the text would complete the document; they
// must not be read, and the truncated document must fail cleanly.
TEST_F(ParseInfo, TextEndingInsideAUtf8SequenceIsReadNoFurther) {
  for (const Truncated& document : TruncatedDocuments()) {
    const std::string& text = document.text;
    // Past the terminator: the bytes TinyXML would skip, then the rest.
    std::string planted = std::string(document.missing - 1, 'x') + kTruncatedRest;
    updater.Init("", dir.base().c_str(), "", "", nullptr);
    updater.infoText = text + '\0' + planted;
    updater.infoText.resize(text.size());
    ASSERT_EQ(memcmp(updater.infoText.c_str() + text.size() + 1, planted.data(), planted.size()),
              0);
    EXPECT_FALSE(updater.ParseInfo()) << document.missing;
    EXPECT_EQ(Error().rfind("Error parsing updater-info.xml (", 0), 0u) << Error();
    EXPECT_EQ(updater.fileCount, 0);
  }
}

// A character reference "&#0;" puts a NUL character into a value; read as a
// C string the value would end there and mean something else.
TEST_F(ParseInfo, RefusesNulCharactersInValuesItUses) {
  const std::string file = " of element \"file\" (row 4) holds a NUL character!";
  struct {
    std::string version, info, groups, files, deletes, want;
  } cases[] = {
      {"2", "", "", FileV2("a&#0;b", "0"), "", "Path \"a\\0b\"" + file},
      {"2", "", "", FileV2("a&#x0;", "0"), "", "Path \"a\\0\"" + file},
      {"2", "", "", "", "<f file=\"&#0;old\"/>",
       "Path \"\\0old\" of element \"f\" (row 5) holds a NUL character!"},
      {"2", "", "", FileV2("a", "0", "group=\"core&#0;,tools\""), "", "Attribute \"group\"" + file},
      {"2", "", Group("core&#0;x"), "", "",
       "Attribute \"name\" of element \"group\" (row 3) holds a NUL character!"},
      {"2", "FileBase=\"http://x/&#0;\"", "", FileV2("a", "0"), "",
       "Attribute \"FileBase\" of element \"info\" (row 2) holds a NUL character!"},
      {"1", "", "", FileV1("a", "0&#0;"), "", "Attribute \"md5\"" + file},
      {"1", "", "", FileV1("a", "0", "packmd5=\"&#0;\""), "", "Attribute \"packmd5\"" + file},
  };
  for (const auto& c : cases) {
    Doc doc;
    doc.version = c.version;
    if (!c.info.empty()) doc.info = "AppName=\"a\" Author=\"b\" URL=\"c\" " + c.info;
    if (!c.groups.empty()) doc.groups = c.groups;
    doc.files = c.files;
    if (!c.deletes.empty()) doc.deletes = c.deletes;
    ExpectFailure(doc, c.want);
    EXPECT_EQ(updater.fileCount, 0);
  }
  // The same in the attributes "url", "key", "sha" and "packsha".
  const char* names[] = {"url", "key", "sha", "packsha"};
  for (const char* name : names) {
    std::string entry = "<file file=\"a\" url=\"u\" key=\"k\" sha=\"0\" packsha=\"1\"/>";
    entry.insert(entry.find(std::string(" ") + name + "=\"") + strlen(name) + 3, "&#0;");
    Doc doc;
    doc.files = entry;
    ExpectFailure(doc, std::string("Attribute \"") + name + "\"" + file);
  }
  // The first generation does not read "group"; an XML declaration makes
  // TinyXML read UTF-8, which changes nothing here.
  Doc doc;
  doc.version = "1";
  doc.files = FileV1("a", "0", "group=\"&#0;\"");
  EXPECT_TRUE(Parse(doc)) << Error();
  updater.Init("", dir.base().c_str(), "", "", nullptr);
  doc.version = "2";
  doc.files = FileV2("a&#0;", "0");
  updater.infoText = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + doc.Text();
  EXPECT_FALSE(updater.ParseInfo());
  EXPECT_EQ(Error(), "Path \"a\\0\" of element \"file\" (row 5) holds a NUL character!");
}

TEST_F(ParseInfo, RefusesPathsThatNameNoFile) {
  for (std::string path : {"dir/", "a/b/", "/", ".", "a/.", "a//"}) {
    Doc files, deletes;
    files.files = FileV2(path, "00");
    ExpectFailure(files,
                  "Path \"" + path + "\" of element \"file\" (row 4) does not end in a file name!");
    deletes.deletes = "<f file=\"" + path + "\"/>";
    ExpectFailure(deletes,
                  "Path \"" + path + "\" of element \"f\" (row 5) does not end in a file name!");
  }
  // Names that merely hold dots and slashes elsewhere are files.
  Doc doc;
  doc.files = FileV2("a/.b", "00") + FileV2("./c.", "00") + FileV2("d/./e", "00");
  ASSERT_TRUE(Parse(doc)) << Error();
  EXPECT_EQ(updater.fileCount, 3);
}

// A selection file that is there but cannot be read must not be replaced by
// the document's defaults, which could remove a group the user keeps; an
// empty one holds no selection.
TEST_F(ParseInfo, SelectionFileThatCannotBeReadFailsTheParse) {
  Doc doc;
  doc.groups = Group("docs", "default=\"2\"");
  const std::string ini = dir / "selection.ini";
  struct {
    bool directory;  // else an empty file
    bool parses;
  } cases[] = {{true, false}, {false, true}};
  for (const auto& c : cases) {
    remove(ini.c_str());
    rmdir(ini.c_str());
    ASSERT_TRUE(c.directory ? mkdir(ini.c_str(), 0755) == 0 : enginetest::WriteFile(ini, ""));
    updater.Init("", dir.base().c_str(), "", ini.c_str(), nullptr);
    EXPECT_EQ(Parse(doc), c.parses) << Error();
    if (c.parses) {
      EXPECT_EQ(updater.FindGroup("docs")->state, Remove);
    } else {
      EXPECT_EQ(Error(), "Error reading " + ini + "!");
      EXPECT_EQ(updater.GetFirstGroup(), nullptr);
    }
  }
}

// A bad entry in the middle of the list: the entries before it are judged
// (their leftovers removed unless the Updater says otherwise) and kept;
// neither it nor anything after it is touched.
TEST_F(ParseInfo, BadEntryMidwayKeepsTheEntriesBeforeIt) {
  Put("current", "ok");
  Put("stale", "old");
  const std::string names[] = {"current", "stale", "missing", "bad", "after"};
  Doc doc;
  doc.files = FileV2("current", Sha("ok")) + FileV2("stale", Sha("ok")) +
              FileV2("missing", Sha("ok")) + "\n" + FileV2("bad", "0", "size=\"-1\"") +
              FileV2("after", "0");
  for (bool remove : {true, false}) {
    for (const std::string& name : names) Put(name + ".updater-part", "left over");
    updater.Init("", dir.base().c_str(), "", "", enginetest::RecordingCallbacks());
    updater.removeLeftovers = remove;
    EXPECT_FALSE(Parse(doc));
    EXPECT_EQ(Error(),
              "Attribute \"size\" of element \"file\" (row 5) is not a size below 4 GiB: -1");
    EXPECT_EQ(InfoLines(), (std::vector<std::string>{"Info version: 2", "Building file list..."}));
    ASSERT_EQ(updater.fileCount, 3);
    EXPECT_EQ(updater.filesTail, FileAt(2));
    EXPECT_EQ(updater.pendingCount, 2);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(FileAt(i)->needsUpdate, i > 0) << names[i];
    for (int i = 0; i < 5; ++i) {
      EXPECT_EQ(enginetest::Exists(dir / names[i] + ".updater-part"), i >= 3 || !remove)
          << names[i] << " " << remove;
    }
  }
}

// Failures at every level, several of them after a file list that spans
// rows: TinyXML's own message and position, or the row of the element at
// fault, and nothing built.
TEST_F(ParseInfo, FailuresAtEveryLevelKeepTheirMessageAndPosition) {
  const std::string head =
      "<update_info version=\"2\">\n<info AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"f/\"/>\n";
  const std::string entry = "<file file=\"a\" url=\"u\" key=\"\" sha=\"0\" packsha=\"\"/>\n";
  const std::string list = "<files>\n" + entry + entry + "</files>\n";
  const std::string tiny = "Error parsing updater-info.xml (";
  struct {
    std::string text, want;
  } cases[] = {
      {"<update_info version=\"2\n<files/></update_info>",
       tiny + "Error parsing Element. at row 1, col 14)"},
      {head + "<groups><group name=\"g\"></groups>\n" + list + "</update_info>\n",
       tiny + "Error reading end tag. at row 3, col 32)"},
      {head + "<files>\n" + entry + entry + "  <file file=\"b\" packsha=\"\"x/>\n</files>\n",
       tiny + "Error reading Attributes. at row 6, col 29)"},
      {"\xEF\xBB\xBF" + head +
           "<files>\n\t<f file=\"a\"/>\t<file file=\"\xC3\xA9\" \xC3\xA9=\"x\" <x/>",
       tiny + "Error reading Attributes. at row 4, col 42)"},
      {head + "<files>\n" + entry + "<file file=\"b\">\n</files>\n</update_info>\n",
       tiny + "Error reading end tag. at row 6, col 7)"},
      {head + "<files>\n" + entry + "</filez>\n</update_info>\n",
       tiny + "Error reading end tag. at row 5, col 1)"},
      {head + list + "<delete><f file=\"x\"></delete>\n</update_info>\n",
       tiny + "Error reading end tag. at row 7, col 21)"},
      {head + list + "<delete><f file=\"x\"/>\n<f/></delete>\n</update_info>\n",
       "Element \"f\" (row 8) has no \"file\" attribute!"},
      {head + list + "<groups><group name=\"ok\"/>\n<group/></groups>\n</update_info>\n",
       "Element \"group\" (row 8) has no \"name\" attribute!"},
      {"<update_info version=\"2\">\n" + list + "<info AppName=\"a\" URL=\"c\"/>\n</update_info>",
       "Element \"info\" (row 6) has no \"Author\" attribute!"},
      {head + "<files>\n" + entry + "<file file=\"a\"/>\n</files>\n</update_info>\n",
       "Element \"file\" (row 5) has no \"url\" attribute!"},
  };
  for (const auto& c : cases) {
    updater.Init("", dir.base().c_str(), "", "", enginetest::RecordingCallbacks());
    updater.infoText = c.text;
    EXPECT_FALSE(updater.ParseInfo()) << c.text;
    EXPECT_EQ(Error(), c.want) << c.text;
    if (c.want.rfind(tiny, 0) == 0) {
      EXPECT_EQ(updater.fileCount, 0) << c.text;
      EXPECT_TRUE(InfoLines().empty()) << c.text;
    }
  }
}

// Documents whose markup could mislead a quick look: what is read is what
// TinyXML reads from the whole text, the encoding included.
TEST_F(ParseInfo, ReadsTheFileListTinyXmlFinds) {
  const std::string info = "<info AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"http://x/\"/>";
  auto entry = [](const std::string& path, const std::string& more) {
    return "<file file=\"" + path + "\" url=\"" + path + "\" key=\"\" sha=\"0\" packsha=\"\" " +
           more + "/>";
  };
  const std::string root = "<update_info version=\"2\">";
  struct {
    std::string text, paths;
  } cases[] = {
      {"<update_info version=\"2\" files=\"<files>\">" + info +
           "<!-- <files> --><![CDATA[<files>]]><files a='>'>" + entry("a", "x=\"</files>\"") +
           "<?pi <files>?><!-- </files> --> text " + entry("b", "") + "</files></update_info>",
       "a,b"},
      {"<x><update_info><files>" + entry("no", "") + "</files></update_info></x>" + root + info +
           "<files>" + entry("yes", "") + "</files></update_info><update_info><files>" +
           entry("no", "") + "</files></update_info>",
       "yes"},
      {root + info + "<files/><files>" + entry("no", "") + "</files></update_info>", ""},
      {root + info + "<files>" + entry("&#xE9;", "") + "</files></update_info>", "\xE9"},
      {"<?xml version=\"1.0\" encoding=\"utf-8\"?>" + root + info + "<files>" +
           entry("&#xE9;", "") + "</files></update_info>",
       "\xC3\xA9"},
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + root + info + "<files>" +
           entry("&#xE9;", "") + "</files></update_info>",
       "\xE9"},
      {"\xEF\xBB\xBF" + root + info + "<files>" + entry("&#xE9;", "") + "</files></update_info>",
       "\xC3\xA9"},
  };
  for (const auto& c : cases) {
    updater.Init("", dir.base().c_str(), "", "", nullptr);
    updater.infoText = c.text;
    ASSERT_TRUE(updater.ParseInfo()) << c.text << ": " << Error();
    std::string paths;
    for (UpdateFile* file = updater.GetFirstFile(); file != nullptr; file = file->next) {
      paths += (paths.empty() ? "" : ",") + file->path;
    }
    EXPECT_EQ(paths, c.paths) << c.text;
  }
  // The file base that follows the list still applies to it.
  updater.Init("", dir.base().c_str(), "", "", nullptr);
  updater.infoText = root + "<files>" + entry("a b", "") + "\n" + entry("HTTP://h/p q", "") +
                     "</files>" + info + "</update_info>";
  ASSERT_TRUE(updater.ParseInfo()) << Error();
  EXPECT_EQ(FileAt(0)->url, "http://x/a%20b");
  EXPECT_EQ(FileAt(1)->url, "HTTP://h/p%20q");
}
