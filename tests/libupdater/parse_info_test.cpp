// ParseInfo against real files in a temporary base directory.
#include <sys/mman.h>
#include <tinyxml.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine_test_util.h"
#include "tinyxml_text.h"

using enginetest::Doc;
using enginetest::FileV2;
using enginetest::Group;
using enginetest::Sha;

using ParseInfo = enginetest::ParseFixture;

namespace {

// A document of generation `version` with these lists ("-" drops one).
Doc Make(const std::string& files, const std::string& deletes = "-",
         const std::string& groups = "-", const std::string& version = "2") {
  Doc doc;
  doc.files = files;
  doc.deletes = deletes;
  doc.groups = groups;
  doc.version = version;
  return doc;
}

std::string Old(const std::string& path) { return "<f file=\"" + path + "\"/>"; }

// `text` without the attribute `name="..."`.
std::string Drop(std::string text, const std::string& name) {
  size_t at = text.find(" " + name + "=") + 1;
  return text.erase(at, text.find('"', text.find('"', at) + 1) + 1 - at);
}

}  // namespace

// Refused with TinyXML's message and position, or the element, row and reason,
// also after a list over several rows. "&#0;" puts a NUL character in a value.
TEST_F(ParseInfo, RefusesWhatItCannotUse) {
  const std::string file = " of element \"file\" (row 4) ", nul = "holds a NUL character!";
  const std::string head =
      "<update_info version=\"2\">\n<info AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"f/\"/>\n";
  const std::string entry = "<file file=\"a\" url=\"u\" key=\"\" sha=\"0\" packsha=\"\"/>\n";
  const std::string list = "<files>\n" + entry + entry + "</files>\n";
  const std::string tiny = "Error parsing updater-info.xml (";
  struct Failure {
    Failure(const Doc& doc, const std::string& want) : text(doc.Text()), want(want) {}
    Failure(const std::string& text, const std::string& want, int kept = 0)
        : text(text), want(want), kept(kept) {}
    std::string text, want;
    int kept = 0;
  };
  std::vector<Failure> cases = {
      {"", tiny + "Error document empty. at row 0, col 0)"},
      {head + "<files>\n" + entry + entry + "  <file file=\"b\" packsha=\"\"x/>\n</files>\n",
       tiny + "Error reading Attributes. at row 6, col 29)"},
      {head + list + "<delete><f file=\"x\"></delete>\n</update_info>\n",
       tiny + "Error reading end tag. at row 7, col 21)"},
      {head + list + "<delete><f file=\"x\"/>\n<f/></delete>\n</update_info>\n",
       "Element \"f\" (row 8) has no \"file\" attribute!", 2},
      {head + list + "<groups><group name=\"ok\"/>\n<group/></groups>\n</update_info>\n",
       "Element \"group\" (row 8) has no \"name\" attribute!"},
      {"<update_info version=\"2\">\n" + list + "<info AppName=\"a\" URL=\"c\"/>\n</update_info>",
       "Element \"info\" (row 6) has no \"Author\" attribute!"},
      {"<?xml version=\"1.0\"?>\n" + Make(FileV2("a&#0;b", "0")).Text(),
       "Path \"a\\0b\" of element \"file\" (row 5) " + nul},
      {Make(FileV2("a", "0"), "-", "-", "-"),
       "Element \"update_info\" (row 1) has no \"version\" attribute!"},
      {Make("<f file=\"a\" url=\"u\" key=\"\" packmd5=\"00\"/>", "-", "-", "1"),
       "Element \"f\" (row 4) has no \"md5\" attribute!"},
      {Make("<file file=\"a\" url=\"a\" key=\"0123456789abcdefX\" sha=\"0\" packsha=\"\"/>"),
       "Attribute \"key\"" + file + "is longer than 16 characters!"},
      {Make(FileV2("a", std::string(65, 'a'))),
       "Attribute \"sha\"" + file + "is longer than 64 characters!"},
      {Make(FileV2("a", "00", "size=\"-1\"")),
       "Attribute \"size\"" + file + "is not a size below 4 GiB: -1"},
      {Make(FileV2("a", "00", "size=\"4294967296\"")),
       "Attribute \"size\"" + file + "is not a size below 4 GiB: 4294967296"},
      {Make(FileV2("", "00")), "Element \"file\" (row 4) has an empty \"file\" path!"},
      {Make("<file file=\"a\" url=\"&#0;\" key=\"\" sha=\"0\" packsha=\"\"/>"),
       "Attribute \"url\"" + file + nul},
      {Make(FileV2("a", "0", "group=\"core&#0;,tools\"")), "Attribute \"group\"" + file + nul},
  };
  for (const char* name : {"AppName", "Author", "URL", "FileBase"}) {
    Doc doc = Make(FileV2("a", "0"));
    doc.info = Drop(" " + doc.info, name);
    cases.push_back(
        {doc, std::string("Element \"info\" (row 2) has no \"") + name + "\" attribute!"});
  }
  for (const char* name : {"file", "url", "key", "sha", "packsha"}) {
    cases.push_back({Make(Drop(FileV2("a", "0"), name)),
                     std::string("Element \"file\" (row 4) has no \"") + name + "\" attribute!"});
  }
  // Names the INI file would not read back as they are, as written and as read.
  const char* names[][2] = {
      {"", ""},        {"a=b", "a=b"},     {"a&#13;b", "a\rb"}, {"a&#10;b", "a\nb"},
      {"[x]", "[x]"},  {"a&#9;b", "a\tb"}, {" lead", " lead"},  {"trail ", "trail "},
      {"a  b", "a  b"}};
  for (const auto& name : names) {
    cases.push_back(
        {Make("", "-", Group("fine") + Group(name[0])),
         std::string("Group name \"") + name[1] + "\" (row 3) cannot be stored in .updater.ini!"});
  }
  const std::string leaves = "leaves the base directory!", noName = "does not end in a file name!";
  const std::string paths[][2] = {{"..", leaves},     {"a/..", leaves},
                                  {"/..//x", leaves}, {"dir/", noName},
                                  {".", noName},      {std::string(1100, 'p'), "is too long!"}};
  for (const auto& path : paths) {
    cases.push_back({Make(FileV2(path[0], "00")), "Path \"" + path[0] + "\"" + file + path[1]});
    cases.push_back(
        {Make("", Old(path[0])), "Path \"" + path[0] + "\" of element \"f\" (row 5) " + path[1]});
  }
  for (const auto& c : cases) {
    updater.Init("", dir.base().c_str(), "", ".updater.ini", enginetest::RecordingCallbacks());
    updater.infoText = c.text;
    EXPECT_FALSE(updater.ParseInfo()) << c.text;
    EXPECT_EQ(Error(), c.want) << c.text;
    EXPECT_EQ(updater.fileCount, c.kept) << c.text;
    // A malformed document is not looked into at all.
    EXPECT_TRUE(c.want.rfind(tiny, 0) != 0 || enginetest::InfoLines().empty()) << c.text;
  }
}

// TinyXML recurses into nesting: a deep document is refused before that,
// however its tags are disguised, while markup that only looks deep is taken.
TEST_F(ParseInfo, RefusesDeeplyNestedDocuments) {
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "<a>";
  const std::string error =
      "Error parsing updater-info.xml (Elements nested deeper than 256 at row 2, col ";
  // The root is the first level, so the 256th "<a>" is one too many, or the
  // 257th once a stray "</x>" has closed the root.
  const struct {
    std::string prefix;
    int col;
  } cases[] = {{"", 766},
               {std::string(300, ' ') + "<x a='/>'/>", 1077},
               {"</x></x></x>", 781},
               {"< '>", 770},
               {"<!-- <b> -->", 778},
               {"<!x '>", 772}};
  for (const auto& c : cases) {
    updater.infoText = "<update_info version=\"2\">\n" + c.prefix + deep;
    EXPECT_FALSE(updater.ParseInfo());
    EXPECT_EQ(Error(), error + std::to_string(c.col) + ")") << c.prefix;
  }
  std::string noise;
  for (int i = 0; i < 300; ++i) noise += "<!-- > <c> --><![CDATA[> <d>]]><e/><f v=\"<g>\"/>";
  ASSERT_TRUE(Parse(Make(FileV2("a", Sha("a")), "-", noise))) << Error();
  EXPECT_EQ(updater.fileCount, 1);
}

namespace {

// A document text that ends inside a UTF-8 sequence, in a form that TinyXML
// reads as UTF-8 (a byte-order mark or an XML declaration says so).
struct Truncated {
  std::string text;
  size_t missing;  // bytes its last sequence lacks
};

std::vector<Truncated> TruncatedDocuments() {
  const std::string body =
      "<update_info version=\"2\">\n<info AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"f/\"/>\n"
      "<files><f file=\"a";
  const Truncated endings[] = {{"\xC3", 1}, {"\xE2\x82", 1}, {"\xF0", 3}, {"\xF0\x9F", 2}};
  std::vector<Truncated> documents;
  for (const std::string head : {"\xEF\xBB\xBF", "<?xml version=\"1.0\"?>\n"}) {
    for (const Truncated& ending : endings) {
      documents.push_back({head + body + ending.text, ending.missing});
    }
  }
  return documents;
}

// Parses `padded` with TinyXML from a buffer that ends right before a page
// that cannot be read; exits with status 0 when TinyXML stayed inside.
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

// TinyXML steps over a whole UTF-8 sequence by its lead byte alone, past the
// terminating zero of a text that ends inside one; the padding stops it.
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

// Bytes planted behind the end of the text would complete the document.
TEST_F(ParseInfo, TextEndingInsideAUtf8SequenceIsReadNoFurther) {
  const std::string rest = "\" url=\"u\" key=\"\" sha=\"0\" packsha=\"\"/></files></update_info>";
  for (const Truncated& document : TruncatedDocuments()) {
    const std::string& text = document.text;
    updater.Init("", dir.base().c_str(), "", "", nullptr);
    updater.infoText = text + '\0' + std::string(document.missing - 1, 'x') + rest;
    updater.infoText.resize(text.size());
    EXPECT_FALSE(updater.ParseInfo()) << document.missing;
    EXPECT_EQ(Error().rfind("Error parsing updater-info.xml (", 0), 0u) << Error();
  }
}

// What is read is what TinyXML reads from the whole text, encoding included,
// however the markup could mislead a quick look.
TEST_F(ParseInfo, ReadsTheFileListTinyXmlFinds) {
  const std::string info = "<info AppName=\"a\" Author=\"b\" URL=\"c\" FileBase=\"http://x/\"/>";
  auto entry = [](const std::string& path, const std::string& more = "") {
    return "<file file=\"" + path + "\" url=\"" + path + "\" key=\"\" sha=\"0\" packsha=\"\" " +
           more + "/>";
  };
  const std::string root = "<update_info version=\"2\">", end = "</files></update_info>";
  struct {
    std::string text, paths;
  } cases[] = {
      {"<update_info version=\"2\" files=\"<files>\">" + info +
           "<!-- <files> --><![CDATA[<files>]]><files a='>'>" + entry("a", "x=\"</files>\"") +
           "<?pi <files>?><!-- </files> --> text " + entry("b") + end,
       "a,b"},
      {"<x><update_info><files>" + entry("no") + end + "</x>" + root + info + "<files>" +
           entry("yes") + end + "<update_info><files>" + entry("no") + end,
       "yes"},
      {root + info + "<files/><files>" + entry("no") + end, ""},
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>" + root + info + "<files>" +
           entry("&#xE9;") + end,
       "\xE9"},
      // The file base that follows the list still applies to it.
      {root + "<files>" + entry("a b", "size=\"4294967295\"") + entry("HtTpS://h/p q") +
           entry("fTp://f/p") + entry("httpx://n") + entry("a..b/..c") + "</files>" + info +
           "</update_info>",
       "a b,HtTpS://h/p q,fTp://f/p,httpx://n,a..b/..c"},
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
  const char* urls[] = {"http://x/a%20b", "HtTpS://h/p%20q", "fTp://f/p", "http://x/httpx://n"};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(FileAt(i)->url, urls[i]);
  EXPECT_EQ(FileAt(0)->size, 4294967295LL);
}
