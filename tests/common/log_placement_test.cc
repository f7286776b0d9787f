#include "common/log_placement.h"

#include <gtest/gtest.h>

#include <string>

#include "common/log.h"
#include "common/log_format.h"
#include "support/test_support.h"

namespace {

using logfmt::LocalTime;

LocalTime At(uint16_t year, uint16_t month, uint16_t day, uint16_t hour, uint16_t minute,
             uint16_t second, uint16_t ms) {
  LocalTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  t.milliseconds = ms;
  return t;
}

const LocalTime kDec4 = At(2026, 12, 4, 16, 31, 38, 42);

TEST(LogFormat, LevelTags) {
  struct Case {
    int level;
    const wchar_t* tag;
  } cases[] = {{0, L"[NONE ]"}, {1, L"[DEBUG]"},   {2, L"[INFO ]"},   {3, L"[WARN]"},
               {4, L"[ ERROR  ]"}, {5, L"[ FATAL ]"}, {6, L"[ALW  ]"}};
  for (const auto& c : cases) {
    ASSERT_NE(nullptr, logfmt::LevelTag(c.level)) << c.level;
    EXPECT_EQ(std::wstring(c.tag), logfmt::LevelTag(c.level)) << c.level;
  }
  EXPECT_EQ(nullptr, logfmt::LevelTag(-1));
  EXPECT_EQ(nullptr, logfmt::LevelTag(7));
}

TEST(LogFormat, LineLayout) {
  struct Case {
    LocalTime time;
    uint32_t pid, tid;
    int level;
    const wchar_t* text;
    const wchar_t* line;
  } cases[] = {
      {kDec4, 1234, 5678, LOG_INFO, L"Scan started",
       L"04/12/26 16:31:38:042 [P: 1234][T: 5678] [INFO ] - Scan started\r\n"},
      {At(2009, 1, 2, 3, 4, 5, 6), 7, 123456, LOG_ERROR, L"x",
       L"02/01/09 03:04:05:006 [P:    7][T:123456] [ ERROR  ] - x\r\n"},
      {At(2030, 10, 31, 23, 59, 59, 999), 65535, 1, LOG_FATAL, L"",
       L"31/10/30 23:59:59:999 [P:65535][T:    1] [ FATAL ] - \r\n"},
      {kDec4, 1, 2, LOG_WARN, L"100% %s \u00e9\u4e2d",
       L"04/12/26 16:31:38:042 [P:    1][T:    2] [WARN] - 100% %s \u00e9\u4e2d\r\n"},
  };
  for (const auto& c : cases) {
    wchar_t buffer[logfmt::kLineCapacity];
    int n = logfmt::FormatLine(buffer, logfmt::kLineCapacity, c.time, c.pid, c.tid, c.level,
                               c.text);
    ASSERT_GE(n, 0) << c.line;
    EXPECT_EQ(std::wstring(c.line), std::wstring(buffer, static_cast<size_t>(n)));
  }
}

TEST(LogFormat, LineOverCapacityIsRefused) {
  wchar_t buffer[logfmt::kLineCapacity];
  int fixed = logfmt::FormatLine(buffer, logfmt::kLineCapacity, kDec4, 1, 2, LOG_INFO, L"");
  ASSERT_EQ(53, fixed);
  // 3199 characters with the line end still fit; one more does not.
  std::wstring fits(logfmt::kLineCapacity - 1 - static_cast<size_t>(fixed), L'a');
  EXPECT_EQ(3199, logfmt::FormatLine(buffer, logfmt::kLineCapacity, kDec4, 1, 2, LOG_INFO,
                                     fits.c_str()));
  std::wstring over = fits + L"a";
  EXPECT_EQ(-1, logfmt::FormatLine(buffer, logfmt::kLineCapacity, kDec4, 1, 2, LOG_INFO,
                                   over.c_str()));
  EXPECT_EQ(-1, logfmt::FormatLine(buffer, logfmt::kLineCapacity, kDec4, 1, 2, 9, L"x"));
  EXPECT_EQ(-1, logfmt::FormatLine(buffer, logfmt::kLineCapacity, kDec4, 1, 2, 2, nullptr));
}

TEST(LogPlacement, ClassifyHost) {
  using logplace::HostKind;
  struct Case {
    const wchar_t* host;
    HostKind kind;
    bool timestamped, archiving;
  } cases[] = {
      {L"ScanEngine", HostKind::kOrdinary, false, true},
      {L"QfAntiVirusInstall", HostKind::kInstaller, false, false},
      {L"qfbackupinstall", HostKind::kInstaller, false, false},
      {L"QfCommonInstall", HostKind::kInstaller, false, false},
      {L"QfTuneUpInstall", HostKind::kInstaller, false, false},
      {L"QfWebFilterInstall", HostKind::kInstaller, false, false},
      {L"setup", HostKind::kInstaller, true, false},
      {L"SETUP", HostKind::kInstaller, true, false},
      {L"uninstall", HostKind::kInstaller, true, false},
      {L"UnInstall", HostKind::kInstaller, true, false},
      {L"QfRepairTool", HostKind::kInstaller, false, false},
      {L"QfMigrationTool", HostKind::kInstaller, false, false},
      {L"QfSetupApp.exe", HostKind::kInstaller, false, false},
      {L"QfSetupApp", HostKind::kOrdinary, false, true},
      {L"updater", HostKind::kOrdinary, true, true},
      {L"UPDATER", HostKind::kOrdinary, true, true},
      {L"x86", HostKind::kBootstrapper, true, false},
      {L"X64", HostKind::kBootstrapper, true, false},
      {L"x32", HostKind::kOrdinary, false, true},
      {L"mysetup", HostKind::kOrdinary, false, true},
      {L"setup1", HostKind::kOrdinary, false, true},
      {L"uninstaller", HostKind::kOrdinary, false, true},
      {L"", HostKind::kOrdinary, false, true},
  };
  for (const auto& c : cases) {
    logplace::HostRule rule = logplace::ClassifyHost(c.host);
    EXPECT_EQ(c.kind, rule.kind) << c.host;
    EXPECT_EQ(c.timestamped, rule.timestamped) << c.host;
    EXPECT_EQ(c.archiving, rule.archiving) << c.host;
  }
}

TEST(LogPlacement, FileNames) {
  struct Case {
    const wchar_t* host;
    bool timestamped;
    uint32_t session;
    const wchar_t* name;
  } cases[] = {
      {L"ScanEngine", false, 1, L"ScanEngine.log"},
      {L"setup", true, 1, L"setup_[16-31-38][04-12-26].log"},
      {L"SETUP", true, 1, L"SETUP_[16-31-38][04-12-26].log"},
      {L"QfEventViewer", false, 1, L"QfEventViewer1_CPlus.log"},
      {L"qfeventviewer", false, 0xFFFFFFFFu, L"qfeventviewer4294967295_CPlus.log"},
      {L"QfControlCentre", false, 1, L"QfControlCentre_CPlus.log"},
      {L"QfManagementConsole", false, 1, L"QfManagementConsole_CPlus.log"},
      {L"QfDiagnostics", false, 1, L"QfDiagnostics4711.log"},
      {L"QfDiagnostics", true, 1, L"QfDiagnostics4711_[16-31-38][04-12-26].log"},
      {L"QfEventViewer2", false, 1, L"QfEventViewer2.log"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(std::wstring(c.name), logplace::LogFileName(c.host, c.timestamped, c.session, 4711,
                                                          kDec4))
        << c.host;
  }
  EXPECT_EQ(L"x86_[00-00-00][01-01-00].log",
            logplace::LogFileName(L"x86", true, 1, 1, At(2000, 1, 1, 0, 0, 0, 0)));
}

TEST(LogPlacement, ArchivedAndCompressedNames) {
  struct Case {
    const wchar_t* path;
    const wchar_t* archived;
  } cases[] = {
      {L"C:\\Logs\\ScanEngine\\ScanEngine.log",
       L"C:\\Logs\\ScanEngine\\ScanEngine[04-12-26][16-31-38].log"},
      {L"C:\\a.b\\x.y.log", L"C:\\a.b\\x.y[04-12-26][16-31-38].log"},
      {L"C:\\Logs\\setup\\setup_[16-31-38][04-12-26].log",
       L"C:\\Logs\\setup\\setup_[16-31-38][04-12-26][04-12-26][16-31-38].log"},
      {L"C:\\a.b\\noextension", L""},
      {L"noextension", L""},
      {L"", L""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(std::wstring(c.archived), logplace::ArchivedName(c.path, kDec4)) << c.path;

  EXPECT_EQ(L"C:\\L\\a[x].log.gz", logplace::CompressedName(L"C:\\L\\a[x].log", false, 17));
  EXPECT_EQ(L"C:\\L\\a[x].log1796401898.gz",
            logplace::CompressedName(L"C:\\L\\a[x].log", true, 1796401898));
  EXPECT_EQ(L"\"C:\\P\\QfCompress.exe\" -compressfile \"C:\\L\\a.log\" \"C:\\L\\a.log.gz\"",
            logplace::CompressorCommandLine(L"\"C:\\P\\QfCompress.exe\"", L"C:\\L\\a.log",
                                            L"C:\\L\\a.log.gz"));
}

TEST(LogPlacement, CompressorPathIsUnderCommonAppData) {
  EXPECT_EQ(L"\"C:\\ProgramData\\Quillfeather\\Consumer\\QZB\\9\\QfCompress.exe\"",
            logplace::CompressorPath());
}

TEST(LogPlacement, RotationAndSizeLimits) {
  EXPECT_FALSE(logplace::ShouldRotate(100, 99));
  EXPECT_TRUE(logplace::ShouldRotate(100, 100));
  EXPECT_TRUE(logplace::ShouldRotate(100, 5000000000ull));
  struct Case {
    uint32_t mb;
    uint64_t bytes;
  } cases[] = {{0, 1048576},
               {1, 1048576},
               {10, 10485760},
               {4095, 4095ull * 1048576},
               {4096, 4095ull * 1048576},
               {0xFFFFFFFFu, 4095ull * 1048576}};
  for (const auto& c : cases) EXPECT_EQ(c.bytes, logplace::SizeLimitFromMegabytes(c.mb)) << c.mb;
}

TEST(LogPlacement, FolderPathForms) {
  struct Case {
    const wchar_t* path;
    bool absolute;
    const wchar_t* normalized;
  } cases[] = {{L"C:\\x", true, L"C:\\x\\"},       {L"C:/x/y/", true, L"C:\\x\\y\\"},
               {L"C:", true, L"C:\\"},             {L"\\\\srv\\share", true, L"\\\\srv\\share\\"},
               {L"Logs\\x", false, L"Logs\\x\\"},  {L"\\x", false, L"\\x\\"},
               {L"", false, L""},                  {L"x", false, L"x\\"}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.absolute, logplace::IsAbsolutePath(c.path)) << c.path;
    EXPECT_EQ(std::wstring(c.normalized), logplace::NormalizeFolder(c.path)) << c.path;
  }
}

TEST(LogPlacement, CreateLogFolderMakesEveryLevelOfAnAbsolutePath) {
  testing_support::TempDir dir;
  std::wstring deep = dir.path() + L"/a/b\\c";
  EXPECT_TRUE(logplace::CreateLogFolder(deep));
  DWORD attributes = ::GetFileAttributesW((dir.path() + L"\\a\\b\\c").c_str());
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, attributes);
  EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_TRUE(logplace::CreateLogFolder(deep)) << "existing folder";

  ASSERT_TRUE(dir.WriteFile(L"file", "x"));
  EXPECT_FALSE(logplace::CreateLogFolder(dir.Sub(L"file\\below"))) << "a file in the way";
}

TEST(LogPlacement, RelativeFoldersAreNeverUsed) {
  testing_support::TempDir dir;
  wchar_t old_cwd[MAX_PATH];
  ASSERT_NE(0u, ::GetCurrentDirectoryW(MAX_PATH, old_cwd));
  ASSERT_TRUE(::SetCurrentDirectoryW(dir.path().c_str()));
  EXPECT_FALSE(logplace::CreateLogFolder(L"Logs\\x"));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, ::GetFileAttributesW(L"Logs"));
  ::CreateDirectoryW(L"existing", nullptr);
  EXPECT_FALSE(logplace::CreateLogFolder(L"existing")) << "even when it exists";
  ::RemoveDirectoryW(L"existing");
  ::SetCurrentDirectoryW(old_cwd);
}

TEST(LogPlacement, PathOverMaxPathGivesNoFile) {
  std::wstring host(230, L'h');
  bool archiving = true;
  EXPECT_EQ(L"", logplace::PlaceLogFile(host, archiving));
  // Refused before anything was created.
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES,
            ::GetFileAttributesW((L"C:\\ProgramData\\QuillfeatherZub\\Logs\\" + host).c_str()));
}

}  // namespace
