#include "scan/scan_exclusions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "common/log.h"
#include "packets/json_helper.h"
#include "support/log_tail.h"
#include "support/test_support.h"

namespace {

using KeyMap = ScanExclusions::KeyMap;
using testing_support::LogTag;

KeyMap Keys(std::initializer_list<const wchar_t*> keys) {
  KeyMap map;
  for (const wchar_t* k : keys) map[k] = true;
  return map;
}

struct Lists {
  KeyMap extensions, directories, files, private_extensions;
};

enum class Ask { kFile, kFolder };

struct Case {
  const char* name;
  Lists lists;
  Ask ask;
  std::wstring path;
  bool excluded;
  int level;          // level of the expected line; 0 = no line at all
  std::wstring line;  // text after the owner name
};

const std::wstring kOwner = L"FileInfoWorker";

std::vector<Case> Cases() {
  const Lists txt{Keys({L"txt"}), {}, {}, {}};
  const Lists upper_txt{Keys({L"TXT"}), {}, {}, {}};
  const Lists gz{Keys({L"gz"}), {}, {}, {}};
  const Lists tar{Keys({L"tar"}), {}, {}, {}};
  const Lists no_ext{Keys({L"", L"readme", L"name"}), {}, {}, {}};
  const Lists priv{{}, {}, {}, Keys({L"tmp"})};
  const Lists data{{}, Keys({L"c:\\data"}), {}, {}};
  const Lists data_slash{{}, Keys({L"c:\\data\\"}), {}, {}};
  const Lists root{{}, Keys({L"c:\\"}), {}, {}};
  const Lists bare_drive{{}, Keys({L"c:"}), {}, {}};
  const Lists two{{}, Keys({L"d:\\ab"}), {}, {}};
  const Lists two_slash{{}, Keys({L"d:\\ab\\"}), {}, {}};
  const Lists upper_dir{{}, Keys({L"C:\\Data"}), {}, {}};
  const Lists unc{{}, Keys({L"\\\\server\\share"}), {}, {}};
  const Lists files_only{{}, {}, Keys({L"c:\\data\\f.txt"}), {}};
  const Lists upper_file{{}, {}, Keys({L"C:\\Data\\F.txt"}), {}};
  const Lists empty_entry{Keys({L""}), Keys({L""}), Keys({L""}), Keys({L""})};
  const Lists none{};
  return {
      {"txt entry excludes .TXT", txt, Ask::kFile, L"C:\\Data\\Notes.TXT", true, LOG_DEBUG,
       L" FileExcluded - Will not scan excluded extension [txt]:C:\\Data\\Notes.TXT"},
      {"TXT entry never matches", upper_txt, Ask::kFile, L"C:\\Data\\Notes.TXT", false, 0, L""},
      {"tar.gz is gz", gz, Ask::kFile, L"c:\\data\\archive.tar.gz", true, LOG_DEBUG,
       L" FileExcluded - Will not scan excluded extension [gz]:c:\\data\\archive.tar.gz"},
      {"tar.gz is not tar", tar, Ask::kFile, L"c:\\data\\archive.tar.gz", false, 0, L""},
      {"no extension", no_ext, Ask::kFile, L"c:\\data\\README", false, 0, L""},
      {"ending in a dot", no_ext, Ask::kFile, L"c:\\data\\name.", false, 0, L""},
      {"dot in folder only", txt, Ask::kFile, L"c:\\dir.txt\\file", false, 0, L""},
      {"private extension", priv, Ask::kFile, L"c:\\x\\A.TMP", true, LOG_DEBUG,
       L" FileExcluded - Will not scan Private excluded extension [tmp]:c:\\x\\A.TMP"},
      {"folder itself", data, Ask::kFolder, L"C:\\Data", true, LOG_WARN,
       L" FolderExluded - Will not scan excluded folder:C:\\Data"},
      {"file below folder", data, Ask::kFile, L"c:\\data\\sub\\f.txt", true, LOG_WARN,
       L" FileExcluded - Will not scan excluded item:c:\\data\\sub\\f.txt"},
      {"folder below folder", data, Ask::kFolder, L"c:\\data\\sub", true, LOG_WARN,
       L" FolderExluded - Will not scan excluded item:c:\\data\\sub"},
      {"longer sibling file", data, Ask::kFile, L"c:\\database\\f.txt", false, 0, L""},
      {"longer sibling folder", data, Ask::kFolder, L"c:\\database", false, 0, L""},
      {"entry with backslash, file below", data_slash, Ask::kFile, L"c:\\data\\f.txt", true,
       LOG_WARN, L" FileExcluded - Will not scan excluded item:c:\\data\\f.txt"},
      {"entry with backslash, sibling", data_slash, Ask::kFile, L"c:\\database\\f.txt", false, 0,
       L""},
      {"drive root entry, file", root, Ask::kFile, L"C:\\x.txt", true, LOG_WARN,
       L" FileExcluded - Will not scan excluded item:C:\\x.txt"},
      {"drive root entry, folder", root, Ask::kFolder, L"c:\\windows\\system32", true, LOG_WARN,
       L" FolderExluded - Will not scan excluded item:c:\\windows\\system32"},
      {"drive root entry, other drive", root, Ask::kFile, L"d:\\x.txt", false, 0, L""},
      {"bare drive entry, file", bare_drive, Ask::kFile, L"c:\\x.txt", false, 0, L""},
      {"bare drive entry, its root", bare_drive, Ask::kFolder, L"C:\\", false, 0, L""},
      {"bare drive entry, itself", bare_drive, Ask::kFolder, L"C:", true, LOG_WARN,
       L" FolderExluded - Will not scan excluded folder:C:"},
      {"two-character folder", two, Ask::kFile, L"d:\\ab\\f.txt", true, LOG_WARN,
       L" FileExcluded - Will not scan excluded item:d:\\ab\\f.txt"},
      {"two-character folder with backslash", two_slash, Ask::kFile, L"d:\\ab\\f.txt", true,
       LOG_WARN, L" FileExcluded - Will not scan excluded item:d:\\ab\\f.txt"},
      {"two-character folder, longer sibling", two, Ask::kFile, L"d:\\abc\\f.txt", false, 0,
       L""},
      {"upper-case folder entry", upper_dir, Ask::kFolder, L"C:\\Data", false, 0, L""},
      {"UNC folder entry", unc, Ask::kFile, L"\\\\Server\\Share\\f.txt", true, LOG_WARN,
       L" FileExcluded - Will not scan excluded item:\\\\Server\\Share\\f.txt"},
      {"UNC sibling share", unc, Ask::kFile, L"\\\\server\\shared\\f.txt", false, 0, L""},
      {"excluded file", files_only, Ask::kFile, L"C:\\DATA\\F.TXT", true, LOG_WARN,
       L" FileExcluded - Will not scan excluded file:C:\\DATA\\F.TXT"},
      {"no folder map, folder", files_only, Ask::kFolder, L"c:\\data", false, 0, L""},
      {"upper-case file entry", upper_file, Ask::kFile, L"C:\\Data\\F.txt", false, 0, L""},
      {"empty file path", data, Ask::kFile, L"", false, LOG_WARN, L" FileExcluded - Empty file"},
      {"empty file path, no lists", none, Ask::kFile, L"", false, LOG_WARN,
       L" FileExcluded - Empty file"},
      {"empty folder path", data, Ask::kFolder, L"", false, 0, L""},
      {"empty entries, empty folder", empty_entry, Ask::kFolder, L"", false, 0, L""},
      {"empty entries, file", empty_entry, Ask::kFile, L"c:\\a\\b", false, 0, L""},
      {"empty entries, rooted file", empty_entry, Ask::kFile, L"\\a\\b", false, 0, L""},
  };
}

// Runs the table; with `debug` the DEBUG lines must be there, else absent.
// Returns the failures, one per line.
std::string RunTable(bool debug) {
  std::string failures;
  for (const Case& c : Cases()) {
    ScanExclusions filter;
    filter.Init(kOwner, c.lists.extensions, c.lists.directories, c.lists.files,
                c.lists.private_extensions);
    testing_support::LogTail tail;
    bool got = c.ask == Ask::kFile ? filter.FileExcluded(c.path) : filter.FolderExluded(c.path);
    if (got != c.excluded) failures += std::string(c.name) + ": wrong answer\n";
    std::vector<std::wstring> lines = tail.Lines();
    bool owner_line = testing_support::AnyLineHas(lines, kOwner);
    if (c.level == 0 && owner_line) failures += std::string(c.name) + ": unexpected line\n";
    if (c.level != 0) {
      bool want = c.level != LOG_DEBUG || debug;
      bool has = testing_support::AnyLineHas(lines, kOwner + c.line, LogTag(c.level));
      if (want != has) failures += std::string(c.name) + (want ? ": line missing\n" : ": line written\n");
      if (!want && owner_line) failures += std::string(c.name) + ": line below threshold\n";
    }
  }
  return failures;
}

QV_CHILD_MAIN(exclusions_debug_table) {
  std::string failures = RunTable(/*debug=*/true);
  std::fputs(failures.c_str(), stderr);
  return failures.empty() ? 0 : 1;
}

TEST(ScanExclusions, TableAtDefaultLevel) {
  ASSERT_TRUE(Logger::Instance().IsOpen());
  ASSERT_GT(Logger::Instance().Threshold(), LOG_DEBUG);
  std::string failures = RunTable(/*debug=*/false);
  EXPECT_TRUE(failures.empty()) << failures;
}

TEST(ScanExclusions, TableAtDebugLevel) {
  std::vector<std::wstring> lines;
  EXPECT_EQ(0, testing_support::RunChildAtLogLevel(L"exclusions_debug_table", {}, LOG_DEBUG,
                                                   &lines));
  EXPECT_FALSE(lines.empty());
}

TEST(ScanExclusions, ExtensionMatchesThePathSplitter) {
  const std::wstring dots255(254, L'e');  // with its dot: 255 characters
  const std::vector<std::wstring> paths = {
      L"c:\\data\\archive.tar.gz", L"c:\\data\\readme", L"c:\\data\\name.", L"c:\\dir.x\\file",
      L".hidden", L"c:x.y", L"a/b.c", L"a.b/c", L"\\\\server\\share\\a.b.c", L"", L".",
      L"c:\\data\\." + dots255, L"c:\\data\\." + dots255 + L"e", L"c:\\data\\n." + dots255 + L"ee",
  };
  for (const std::wstring& path : paths) {
    wchar_t ext[256] = L"";
    errno_t err = _wsplitpath_s(path.c_str(), nullptr, 0, nullptr, 0, nullptr, 0, ext, 256);
    std::wstring expected = (err == 0 && ext[0] == L'.') ? std::wstring(ext + 1) : L"";
    EXPECT_EQ(expected, ScanExclusions::ExtensionOf(path)) << "path of " << path.size()
                                                           << " characters: " << err;
  }
}

TEST(ScanExclusions, DriveIndexIsLowerCased) {
  ScanExclusions filter;
  filter.Init(kOwner, {}, Keys({L"D:\\x", L"e:\\y", L""}), {}, {});
  EXPECT_FALSE(filter.IsUnderExcludedDirectory(L"d:\\x\\f"));  // entry has upper case
  EXPECT_TRUE(filter.IsUnderExcludedDirectory(L"e:\\y\\f"));
  EXPECT_FALSE(filter.IsUnderExcludedDirectory(L"f:\\y\\f"));
  EXPECT_FALSE(filter.IsUnderExcludedDirectory(L""));
}

TEST(ScanExclusions, OwnerNamePrefixesEveryLine) {
  ScanExclusions filter;
  filter.Init(L"SomeOwner", {}, Keys({L"c:\\data"}), {}, {});
  testing_support::LogTail tail;
  EXPECT_TRUE(filter.FolderExluded(L"c:\\data"));
  EXPECT_FALSE(filter.FileExcluded(L""));
  EXPECT_TRUE(tail.Has(L"SomeOwner FolderExluded - Will not scan excluded folder:c:\\data",
                       LogTag(LOG_WARN)));
  EXPECT_TRUE(tail.Has(L"SomeOwner FileExcluded - Empty file", LogTag(LOG_WARN)));
}

// The lists arrive as JSON arrays of the request packet; entries stay as given.
TEST(ScanExclusions, ListsFromTheRequestPacket) {
  ScanExclusions filter;
  filter.Init(kOwner, JsonHelper::GetMapFromList(L"[\"TXT\", \"log\"]"),
              JsonHelper::GetMapFromList(L"[\"C:\\\\Users\", \"c:\\\\data\"]"),
              JsonHelper::GetMapFromList(L"[\"c:\\\\keep\\\\f.bin\", 7]"),
              JsonHelper::GetMapFromList(L"not json"));
  EXPECT_FALSE(filter.FileExcluded(L"c:\\x\\a.txt"));
  EXPECT_TRUE(filter.FileExcluded(L"c:\\x\\a.LOG"));
  EXPECT_FALSE(filter.FolderExluded(L"C:\\Users"));
  EXPECT_TRUE(filter.FolderExluded(L"C:\\Data\\Sub"));
  EXPECT_TRUE(filter.FileExcluded(L"C:\\Keep\\F.bin"));
  EXPECT_FALSE(filter.FileExcluded(L"c:\\keep\\g.bin"));
}

}  // namespace
