// QfCompress.exe, the compressor the log archiving starts.
#include <windows.h>

#include <gtest/gtest.h>

#include "gunzip.h"

#include <string>

#include "support/test_support.h"

namespace {

using testing_support::TempDir;

std::wstring Compressor() { return testing_support::ExecutableDir() + L"\\QfCompress.exe"; }

int Compress(const std::wstring& arguments) {
  return testing_support::RunCommand(L"\"" + Compressor() + L"\" " + arguments);
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TEST(Compressor, WritesGzipAndRemovesTheSourceOnlyWhenDone) {
  TempDir dir;
  struct Case {
    const char* name;
    std::string content;
  } cases[] = {{"empty", ""},
               {"binary", std::string("\xFF\xFE\0\x01\x80zz", 7)},
               {"large", std::string(3 << 20, 'q') + "tail"}};
  for (const auto& c : cases) {
    std::wstring source = dir.Sub(L"in \u00e9 [x].log");
    std::wstring target = dir.Sub(L"in \u00e9 [x].log.gz");
    ASSERT_TRUE(dir.WriteFile(L"in \u00e9 [x].log", c.content)) << c.name;
    ASSERT_EQ(0, Compress(L"-compressfile \"" + source + L"\" \"" + target + L"\"")) << c.name;
    EXPECT_FALSE(Exists(source)) << c.name;
    std::string packed, unpacked;
    ASSERT_TRUE(testing_support::ReadWholeFile(target, packed)) << c.name;
    EXPECT_TRUE(Gunzip(packed, unpacked)) << c.name;
    EXPECT_TRUE(unpacked == c.content) << c.name;
    ::DeleteFileW(target.c_str());
  }
}

TEST(Compressor, FailuresKeepTheSource) {
  TempDir dir;
  ASSERT_TRUE(dir.WriteFile(L"a.log", "keep me"));
  ASSERT_TRUE(dir.WriteFile(L"a.log.gz", "older archive"));
  std::wstring source = L"\"" + dir.Sub(L"a.log") + L"\"";
  struct Case {
    const char* name;
    std::wstring arguments;
    int code;
  } cases[] = {
      {"no arguments", L"", 1},
      {"unknown option", L"-zip " + source + L" \"" + dir.Sub(L"b.gz") + L"\"", 1},
      {"missing source", L"-compressfile \"" + dir.Sub(L"none.log") + L"\" \"" +
                             dir.Sub(L"none.gz") + L"\"", 2},
      {"source is a folder", L"-compressfile \"" + dir.path() + L"\" \"" + dir.Sub(L"d.gz") +
                                 L"\"", 2},
      {"existing destination", L"-compressfile " + source + L" \"" + dir.Sub(L"a.log.gz") + L"\"",
       3},
      {"destination folder missing",
       L"-compressfile " + source + L" \"" + dir.Sub(L"no\\such\\a.gz") + L"\"", 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.code, Compress(c.arguments)) << c.name;
    std::string bytes;
    ASSERT_TRUE(testing_support::ReadWholeFile(dir.Sub(L"a.log"), bytes)) << c.name;
    EXPECT_EQ("keep me", bytes) << c.name;
  }
  std::string older;
  ASSERT_TRUE(testing_support::ReadWholeFile(dir.Sub(L"a.log.gz"), older));
  EXPECT_EQ("older archive", older) << "an existing archive is never overwritten";
  EXPECT_FALSE(Exists(dir.Sub(L"b.gz")));
}

}  // namespace
