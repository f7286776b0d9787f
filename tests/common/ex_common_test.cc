#include "common/ex_common.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "common/product.h"
#include "support/test_support.h"

namespace {

using testing_support::RegValueOverride;
using testing_support::TempDir;

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

TEST(ExCommonPaths, TrailingBackslashes) {
  const struct {
    std::wstring path;
    bool keep_colon;
    std::wstring added;
  } cases[] = {
      {L"", false, L""},           {L"", true, L""},           {L"C:", false, L"C:\\"},
      {L"C:", true, L"C:"},        {L"C:\\", false, L"C:\\"},  {L"C:\\", true, L"C:\\"},
      {L"a\\b", false, L"a\\b\\"}, {L"a\\b", true, L"a\\b\\"}, {L"a/", false, L"a/\\"},
      {L"x:y", true, L"x:y\\"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.added, ExCommon::AddTrailingBackslash(c.path, c.keep_colon))
        << Narrow(c.path) << " keep_colon=" << c.keep_colon;

  const std::pair<std::wstring, std::wstring> removed[] = {
      {L"", L""}, {L"\\", L""}, {L"a", L"a"}, {L"a\\", L"a"}, {L"a\\\\", L"a\\"}, {L"C:\\", L"C:"}};
  for (const auto& c : removed)
    EXPECT_EQ(c.second, ExCommon::RemoveTrailingBackslash(c.first)) << Narrow(c.first);

  const struct {
    std::wstring path;
    bool trailing;
    std::wstring normalized;
  } normalize[] = {
      {L"", true, L""},
      {L"", false, L""},
      {L"a/b/c", true, L"a\\b\\c\\"},
      {L"a/b/c/", false, L"a\\b\\c"},
      {L"C:", true, L"C:"},
      {L"C:/", false, L"C:"},
      {L"\\\\srv/share", true, L"\\\\srv\\share\\"},
  };
  for (const auto& c : normalize)
    EXPECT_EQ(c.normalized, ExCommon::NormalizeFolderPath(c.path, c.trailing))
        << Narrow(c.path) << " trailing=" << c.trailing;
}

TEST(ExCommonText, Split) {
  const struct {
    std::wstring text, delimiter;
    std::vector<std::wstring> pieces;
  } cases[] = {
      {L"a;b;", L";", {L"a", L"b", L""}},
      {L"a;b", L";", {L"a", L"b"}},
      {L"abc", L";", {L"abc"}},
      {L"", L";", {L""}},
      {L";", L";", {L"", L""}},
      {L";;a", L";", {L"", L"", L"a"}},
      {L"a::b:c", L"::", {L"a", L"b:c"}},
      {L"a;b", L"", {L"a;b"}},  // no delimiter to find: one piece, no endless loop
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.pieces, ExCommon::Split(c.text, c.delimiter))
        << "'" << Narrow(c.text) << "' by '" << Narrow(c.delimiter) << "'";
}

TEST(ExCommonText, ReplaceAll) {
  const struct {
    std::wstring text, search, replacement, result;
  } cases[] = {
      {L"aXa", L"a", L"aa", L"aaXaa"},  // replacement holds the search text
      {L"aaa", L"a", L"a", L"aaa"},
      {L"abc", L"", L"z", L"abc"},
      {L"x.y.z", L".", L"", L"xyz"},
      {L"abab", L"ab", L"b", L"bb"},
      {L"%1 and %1", L"%1", L"%1%1", L"%1%1 and %1%1"},
      {L"none", L"q", L"r", L"none"},
      {L"", L"a", L"b", L""},
  };
  for (const auto& c : cases) {
    std::wstring text = c.text;
    ExCommon::ReplaceAll(text, c.search, c.replacement);
    EXPECT_EQ(c.result, text) << "'" << Narrow(c.text) << "' '" << Narrow(c.search) << "' -> '"
                              << Narrow(c.replacement) << "'";
  }
}

TEST(ExCommonText, CaseFoldingIsAsciiOnly) {
  const struct {
    std::wstring a, b;
    bool equal;
  } cases[] = {
      {L"Setup", L"SETUP", true},
      {L"setup", L"setup1", false},
      {L"", L"", true},
      {L"a", L"", false},
      {L"\u00c9", L"\u00e9", false},
      {L"[", L"{", false},
      {L"QfSetupApp.exe", L"qfsetupapp.EXE", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.equal, ExCommon::EqualsIgnoreCase(c.a, c.b)) << Narrow(c.a) << " / " << Narrow(c.b);
  EXPECT_EQ(L"abc xyz \u00c9@[", ExCommon::ToLower(L"ABC xyz \u00c9@["));
}

TEST(ExCommonText, NumbersAndDefaults) {
  EXPECT_EQ(L"-2147483648", ExCommon::NumberToText(INT32_MIN));
  EXPECT_EQ(L"0", ExCommon::NumberToText(int32_t{0}));
  EXPECT_EQ(L"4294967295", ExCommon::NumberToText(UINT32_MAX));
  EXPECT_EQ(L"text", ExCommon::TextOrDefault(L"text", L"default"));
  EXPECT_EQ(L"", ExCommon::TextOrDefault(L"", L"default"));
  EXPECT_EQ(L"default", ExCommon::TextOrDefault(nullptr, L"default"));
}

TEST(ExCommonText, GuidStringIs36UpperCaseCharactersWithoutBraces) {
  std::set<std::wstring> seen;
  for (int i = 0; i < 20; ++i) {
    std::wstring guid = ExCommon::CreateGuidString();
    ASSERT_EQ(36u, guid.size()) << Narrow(guid);
    for (size_t j = 0; j < guid.size(); ++j) {
      if (j == 8 || j == 13 || j == 18 || j == 23) {
        EXPECT_EQ(L'-', guid[j]) << Narrow(guid);
      } else {
        EXPECT_TRUE((guid[j] >= L'0' && guid[j] <= L'9') || (guid[j] >= L'A' && guid[j] <= L'F'))
            << Narrow(guid) << " at " << j;
      }
    }
    seen.insert(guid);
  }
  EXPECT_EQ(20u, seen.size());
}

TEST(ExCommonText, CodePageConversions) {
  const struct {
    const char* label;
    std::string bytes;
    uint32_t code_page;
    std::wstring text;
  } cases[] = {
      {"empty utf-8", "", CP_UTF8, L""},
      {"ascii", "abc", CP_UTF8, L"abc"},
      {"utf-8 two and three bytes", "\xC3\xA9\xE2\x82\xAC", CP_UTF8, L"\u00e9\u20ac"},
      {"utf-8 four bytes", "\xF0\x9F\x98\x80", CP_UTF8, L"\U0001F600"},
      {"stops at an embedded zero", std::string("a\0b", 3), CP_UTF8, L"a"},
      {"cp1252", "caf\xE9 \x80", 1252, L"caf\u00e9 \u20ac"},
      {"ansi", "caf\xE9", CP_ACP, L"caf\u00e9"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.text, ExCommon::CodePageToWide(c.bytes, c.code_page)) << c.label;

  std::wstring invalid = ExCommon::CodePageToWide("a\xFF\xC3", CP_UTF8);
  ASSERT_FALSE(invalid.empty());
  EXPECT_EQ(L'a', invalid[0]);

  EXPECT_EQ("", ExCommon::WideToAnsi(L""));
  EXPECT_EQ(L"", ExCommon::AnsiToWide(""));
  EXPECT_EQ("caf\xE9", ExCommon::WideToAnsi(L"caf\u00e9"));
  EXPECT_EQ(L"caf\u00e9", ExCommon::AnsiToWide("caf\xE9"));
  EXPECT_EQ("?", ExCommon::WideToAnsi(L"\u65e5")) << "outside the ANSI code page";
  const std::string long_text(100000, 'x');
  EXPECT_TRUE(std::wstring(100000, L'x') == ExCommon::AnsiToWide(long_text));
  EXPECT_TRUE(long_text == ExCommon::WideToAnsi(std::wstring(100000, L'x')));
}

TEST(ExCommonFiles, ExistenceOfFilesAndFolders) {
  TempDir dir;
  ASSERT_TRUE(dir.WriteFile(L"file.txt", "x"));
  const struct {
    std::wstring path;
    bool folder, file;
  } cases[] = {
      {dir.path(), true, false},
      {dir.path() + L"\\", true, false},
      {dir.Sub(L"file.txt"), false, true},
      {dir.Sub(L"absent"), false, false},
      {L"", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.folder, ExCommon::FolderExists(c.path)) << Narrow(c.path);
    EXPECT_EQ(c.file, ExCommon::FileExists(c.path)) << Narrow(c.path);
  }
}

TEST(ExCommonFiles, CreateFolderTree) {
  TempDir dir;
  ASSERT_TRUE(dir.WriteFile(L"plain", "x"));
  const struct {
    std::wstring path;
    bool ok;
    std::wstring made;
  } cases[] = {
      {dir.Sub(L"a\\b\\c"), true, dir.Sub(L"a\\b\\c")},
      {dir.Sub(L"a\\b\\c"), true, dir.Sub(L"a\\b\\c")},  // exists already
      {dir.Sub(L"d\\e\\"), true, dir.Sub(L"d\\e")},
      {dir.path() + L"/f/g", true, dir.Sub(L"f\\g")},
      {dir.Sub(L"plain"), false, L""},  // a file of that name is no folder
      {dir.Sub(L"plain\\sub"), false, L""},
      {L"", false, L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.ok, ExCommon::CreateFolderTree(c.path)) << Narrow(c.path);
    if (!c.made.empty()) {
      EXPECT_TRUE(ExCommon::FolderExists(c.made)) << Narrow(c.made);
    }
  }
}

TEST(ExCommonFiles, CreateFolderTreeClearsReadOnlyOfTheLastFolder) {
  TempDir dir;
  const std::wstring folder = dir.Sub(L"ro");
  ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
  ASSERT_TRUE(::SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_READONLY));
  DWORD before = ::GetFileAttributesW(folder.c_str());
  // Wine keeps no read-only mark on folders; Windows does.
  if (!(before & FILE_ATTRIBUTE_READONLY))
    GTEST_SKIP() << "the file system keeps no read-only folders";
  EXPECT_TRUE(ExCommon::CreateFolderTree(folder));
  DWORD after = ::GetFileAttributesW(folder.c_str());
  EXPECT_TRUE(after & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_FALSE(after & FILE_ATTRIBUTE_READONLY) << "attributes before " << before;
  ::SetFileAttributesW(folder.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(ExCommonFiles, CopyFileOverReplacesReadOnlyDestination) {
  TempDir dir;
  ASSERT_TRUE(dir.WriteFile(L"src", "new content"));
  ASSERT_TRUE(dir.WriteFile(L"dst", "old"));
  ASSERT_TRUE(::SetFileAttributesW(dir.Sub(L"dst").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(ExCommon::CopyFileOver(dir.Sub(L"src"), dir.Sub(L"dst")));
  std::string bytes;
  ASSERT_TRUE(testing_support::ReadWholeFile(dir.Sub(L"dst"), bytes));
  EXPECT_EQ("new content", bytes);
  EXPECT_TRUE(ExCommon::CopyFileOver(dir.Sub(L"src"), dir.Sub(L"fresh")));

  EXPECT_FALSE(ExCommon::CopyFileOver(dir.Sub(L"src"), L""));
  EXPECT_FALSE(ExCommon::CopyFileOver(dir.Sub(L"absent"), dir.Sub(L"x")));
  EXPECT_FALSE(ExCommon::CopyFileOver(dir.path(), dir.Sub(L"y"))) << "a folder is no file";
  EXPECT_FALSE(ExCommon::FileExists(dir.Sub(L"x")));
  ::SetFileAttributesW(dir.Sub(L"dst").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST(ExCommonFiles, AllocateFileContentSizesAZeroedBuffer) {
  TempDir dir;
  ASSERT_TRUE(dir.WriteFile(L"five", "12345"));
  ASSERT_TRUE(dir.WriteFile(L"empty", ""));
  const struct {
    std::wstring path;
    bool ok;
    size_t size;
  } cases[] = {
      {dir.Sub(L"five"), true, 5},
      {dir.Sub(L"empty"), true, 0},
      {dir.Sub(L"absent"), false, 0},
      {dir.path(), false, 0},
      {L"", false, 0},
  };
  for (const auto& c : cases) {
    size_t size = 99;
    char* buffer = ExCommon::AllocateFileContent(c.path, size);
    EXPECT_EQ(c.ok, buffer != nullptr) << Narrow(c.path);
    if (buffer) {
      EXPECT_EQ(c.size, size) << Narrow(c.path);
      EXPECT_EQ(std::string(c.size + 1, '\0'), std::string(buffer, c.size + 1)) << Narrow(c.path);
    }
    ExCommon::FreeFileContent(buffer);
  }
}

TEST(ExCommonFiles, AllocateFileContentWhileAnotherHandleWrites) {
  TempDir dir;
  const std::wstring path = dir.Sub(L"busy");
  HANDLE writer = ::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, writer);
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(writer, "abc", 3, &written, nullptr));
  size_t size = 0;
  char* buffer = ExCommon::AllocateFileContent(path, size);
  EXPECT_NE(nullptr, buffer);
  EXPECT_EQ(3u, size);
  ExCommon::FreeFileContent(buffer);
  ::CloseHandle(writer);
}

TEST(ExCommonProcess, ModulePathAndVersion) {
  EXPECT_EQ(testing_support::ThisExecutable(), ExCommon::GetModulePath());
  EXPECT_EQ(testing_support::ThisExecutable(), ExCommon::GetModulePath(nullptr));
  std::wstring kernel = ExCommon::GetModulePath(::GetModuleHandleW(L"kernel32.dll"));
  ASSERT_GT(kernel.size(), 12u);
  EXPECT_TRUE(ExCommon::EqualsIgnoreCase(L"kernel32.dll", kernel.substr(kernel.size() - 12)))
      << Narrow(kernel);
  EXPECT_EQ(L"", ExCommon::GetModulePath(reinterpret_cast<HMODULE>(0x10)));

  TempDir dir;
  ASSERT_TRUE(dir.WriteFile(L"plain.bin", "no version resource here"));
  const std::wstring no_version[] = {L"", testing_support::ThisExecutable(), dir.Sub(L"plain.bin"),
                                     dir.Sub(L"absent.dll")};
  for (const auto& path : no_version)
    EXPECT_EQ(L"", ExCommon::GetFileVersionString(path)) << Narrow(path);

  // The system's own libraries carry a version resource.
  std::wstring version = ExCommon::GetFileVersionString(kernel);
  auto parts = ExCommon::Split(version, L".");
  ASSERT_EQ(4u, parts.size()) << Narrow(version);
  for (const auto& part : parts) {
    ASSERT_FALSE(part.empty()) << Narrow(version);
    EXPECT_EQ(std::wstring::npos, part.find_first_not_of(L"0123456789")) << Narrow(version);
  }
}

TEST(ExCommonProcess, FileVersionPartsInOrder) {
  EXPECT_EQ(L"4.18.2203.5", ExCommon::GetFileVersionString(testing_support::ExecutableDir() +
                                                           L"\\qv_versioned.dll"));
}

// Copies of a small DLL at paths around and beyond the first 520-character
// read: the name must come back whole, never cut or unterminated.
TEST(ExCommonProcess, ModulePathOfLongPathsIsComplete) {
  TempDir dir;
  const std::wstring source = testing_support::ExecutableDir() + L"\\qv_versioned.dll";
  for (size_t length : {size_t{519}, size_t{520}, size_t{521}, size_t{1200}}) {
    const std::wstring name = L"qv_long_" + std::to_wstring(length) + L".dll";
    std::wstring folder = dir.path() + L"\\" + std::to_wstring(length);
    std::vector<std::wstring> folders = {folder};
    const size_t wanted_folder = length - 1 - name.size();
    ASSERT_LT(folder.size() + 2, wanted_folder);
    while (folder.size() < wanted_folder) {
      size_t part = std::min<size_t>(100, wanted_folder - folder.size() - 1);
      if (part == 0) {  // one character short: lengthen the last part instead
        folder += L'e';
        folders.back() = folder;
        continue;
      }
      folder += L"\\" + std::wstring(part, L'd');
      folders.push_back(folder);
    }
    const std::wstring path = folder + L"\\" + name;
    ASSERT_EQ(length, path.size());
    ASSERT_TRUE(ExCommon::CreateFolderTree(L"\\\\?\\" + folder)) << length;
    ASSERT_TRUE(ExCommon::CopyFileOver(source, L"\\\\?\\" + path)) << length;

    HMODULE module = ::LoadLibraryW((L"\\\\?\\" + path).c_str());
    ASSERT_NE(nullptr, module) << length << " gle " << ::GetLastError();
    std::vector<wchar_t> full(32768);
    DWORD n = ::GetModuleFileNameW(module, full.data(), static_cast<DWORD>(full.size()));
    const std::wstring expected(full.data(), n);
    const std::wstring got = ExCommon::GetModulePath(module);
    EXPECT_TRUE(expected == got) << length << ": got " << got.size() << " characters of "
                                 << expected.size();
    EXPECT_GE(got.size(), length) << length;
    EXPECT_EQ(L"4.18.2203.5", ExCommon::GetFileVersionString(L"\\\\?\\" + path)) << length;
    ::FreeLibrary(module);

    ::DeleteFileW((L"\\\\?\\" + path).c_str());
    for (auto it = folders.rbegin(); it != folders.rend(); ++it)
      ::RemoveDirectoryW((L"\\\\?\\" + *it).c_str());
  }
}

TEST(ExCommonProcess, WindowsVersionComparesMajorMinorServicePackInOrder) {
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  auto rtl_get_version = reinterpret_cast<RtlGetVersionFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  ASSERT_NE(nullptr, rtl_get_version);
  OSVERSIONINFOEXW os{};
  os.dwOSVersionInfoSize = sizeof os;
  ASSERT_EQ(0, rtl_get_version(&os));
  const uint16_t major = static_cast<uint16_t>(os.dwMajorVersion);
  const uint16_t minor = static_cast<uint16_t>(os.dwMinorVersion);
  const uint16_t sp = os.wServicePackMajor;
  ASSERT_GT(major, 1);
  const struct {
    uint16_t major, minor, sp;
    bool expected;
  } cases[] = {
      {0, 0, 0, true},
      {major, minor, sp, true},
      {static_cast<uint16_t>(major - 1), 99, 99, true},  // a lower major wins whatever follows
      {major, static_cast<uint16_t>(minor + 1), 0, false},
      {major, minor, static_cast<uint16_t>(sp + 1), false},
      {static_cast<uint16_t>(major + 1), 0, 0, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.expected, ExCommon::IsWindowsVersionOrGreater(c.major, c.minor, c.sp))
        << c.major << "." << c.minor << " sp" << c.sp << " on " << major << "." << minor << " sp"
        << sp;
}

TEST(ExCommonProcess, SessionIdOfThisProcess) {
  DWORD expected = 0;
  ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &expected));
  EXPECT_EQ(expected, ExCommon::GeCurrentSessionId());
}

TEST(ExCommonProcess, EnvironmentValues) {
  const std::wstring name = testing_support::UniqueName(L"QV_TEST_VAR");
  EXPECT_EQ(L"", ExCommon::GetEnvironmentValue(name.c_str()));
  EXPECT_EQ(L"", ExCommon::GetEnvironmentValue(nullptr));
  EXPECT_EQ(L"", ExCommon::GetEnvironmentValue(L""));
  for (const std::wstring& value : {std::wstring(L"v"), std::wstring(30000, L'w')}) {
    ASSERT_TRUE(::SetEnvironmentVariableW(name.c_str(), value.c_str()));
    EXPECT_TRUE(value == ExCommon::GetEnvironmentValue(name.c_str())) << value.size();
  }
  ::SetEnvironmentVariableW(name.c_str(), nullptr);
  EXPECT_FALSE(ExCommon::GetTempFolder().empty());
  EXPECT_EQ(ExCommon::GetEnvironmentValue(L"TEMP"), ExCommon::GetTempFolder());
}

TEST(ExCommonSettings, NetworkScanSetting) {
  const bool key_existed = [] {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, product::kScannerKey, 0, KEY_READ, &key) != 0)
      return false;
    ::RegCloseKey(key);
    return true;
  }();
  {
    RegValueOverride value(product::kScannerKey, L"ODScanNetworkItems");
    const struct {
      const char* label;
      DWORD type;
      std::vector<BYTE> bytes;
      bool enabled;
    } cases[] = {
        {"one", REG_DWORD, {1, 0, 0, 0}, true},   {"high bit", REG_DWORD, {0, 0, 0, 0x80}, true},
        {"zero", REG_DWORD, {0, 0, 0, 0}, false}, {"text", REG_SZ, {'1', 0, 0, 0}, false},
        {"short binary", REG_BINARY, {1}, false},
    };
    for (const auto& c : cases) {
      value.SetRaw(c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
      EXPECT_EQ(c.enabled, ExCommon::IsNetworkScanEnabled()) << c.label;
    }
    value.Remove();
    EXPECT_FALSE(ExCommon::IsNetworkScanEnabled()) << "missing";
  }
  if (!key_existed) ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, product::kScannerKey);
}

}  // namespace
