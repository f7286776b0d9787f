#include "ipc/file_info_worker.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "common/ex_common.h"
#include "common/log.h"
#include "common/product.h"
#include "support/log_tail.h"
#include "support/test_support.h"

namespace {

using testing_support::LogTag;
using testing_support::LogTail;
using testing_support::RegValueOverride;
using testing_support::TempDir;
using KeyMap = ScanExclusions::KeyMap;

constexpr wchar_t kLastQuickScan[] = L"LastQuickScanSizeBytes";

// root\a.txt 100, root\b.bin 200, root\sub\c.txt 300, root\sub\deep\d.dat 250,
// root\skip\e.txt 150: 1000 bytes.
struct KnownTree {
  TempDir dir;
  KnownTree() {
    EXPECT_TRUE(dir.WriteFile(L"a.txt", std::string(100, 'a')));
    EXPECT_TRUE(dir.WriteFile(L"b.bin", std::string(200, 'b')));
    EXPECT_TRUE(dir.WriteFile(L"sub\\c.txt", std::string(300, 'c')));
    EXPECT_TRUE(dir.WriteFile(L"sub\\deep\\d.dat", std::string(250, 'd')));
    EXPECT_TRUE(dir.WriteFile(L"skip\\e.txt", std::string(150, 'e')));
  }
  const std::wstring& root() const { return dir.path(); }
  std::wstring lower(const std::wstring& relative = L"") const {
    return ExCommon::ToLower(relative.empty() ? root() : dir.Sub(relative));
  }
};

KeyMap Keys(std::initializer_list<std::wstring> keys) {
  KeyMap map;
  for (const auto& k : keys) map[k] = true;
  return map;
}

// Deletes a registry key at the end of the scope if the scope created it.
class KeyCreatedHere {
 public:
  explicit KeyCreatedHere(const wchar_t* path) : path_(path) {
    HKEY key = nullptr;
    existed_ = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path_, 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (existed_) ::RegCloseKey(key);
  }
  ~KeyCreatedHere() {
    if (!existed_) ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, path_), ::RegDeleteKeyW(HKEY_LOCAL_MACHINE, path_);
  }

 private:
  const wchar_t* path_;
  bool existed_ = false;
};

uint64_t Measure(const std::vector<std::wstring>& paths, const ScanExclusions* filter = nullptr) {
  std::atomic<bool> stop{false};
  return FileInfoWorker::CalculateFilesSize(paths, stop, filter);
}

uint64_t UsedSpaceOfC() {
  ULARGE_INTEGER available{}, total{}, free{};
  if (!::GetDiskFreeSpaceExW(L"C:\\", &available, &total, &free)) return 0;
  return total.QuadPart - free.QuadPart;
}

bool ReadLastQuickScan(uint64_t* value) {
  DWORD size = sizeof *value;
  return ::RegGetValueW(HKEY_LOCAL_MACHINE, product::kAntiVirusKey, kLastQuickScan, RRF_RT_ANY,
                        nullptr, value, &size) == ERROR_SUCCESS &&
         size == sizeof *value;
}

TEST(FileInfoWorker, EstimateOfKnownTreePerMode) {
  KnownTree tree;
  RegValueOverride last(product::kAntiVirusKey, kLastQuickScan);
  last.Remove();
  KeyCreatedHere scanner_key(product::kScannerKey);
  RegValueOverride network(product::kScannerKey, L"ODScanNetworkItems");
  struct Mode {
    uint32_t mode;
    uint64_t expected;
  };
  for (DWORD network_on : {0u, 1u}) {
    network.SetDword(network_on);
    for (Mode m : {Mode{1, 1200}, Mode{4, 1300}, Mode{2, 1000}, Mode{3, 1000}, Mode{9, 1000}}) {
      FileInfoWorker worker(m.mode);
      worker.Configure(L"FileInfoWorker", {}, {}, {}, {}, {tree.root()});
      worker.run();
      bool completed = false;
      uint64_t estimate = 0;
      worker.Read(&completed, &estimate);
      EXPECT_TRUE(completed) << "mode " << m.mode;
      EXPECT_EQ(m.expected, estimate) << "mode " << m.mode << " network " << network_on;
    }
  }
}

TEST(FileInfoWorker, ScaleTruncatesAndSaturates) {
  EXPECT_EQ(1200u, FileInfoWorker::Scale(1000, 1.2));
  EXPECT_EQ(static_cast<uint64_t>(12345677.0 * 1.3), FileInfoWorker::Scale(12345677, 1.3));
  EXPECT_EQ(0u, FileInfoWorker::Scale(0, 1.2));
  EXPECT_EQ(UINT64_MAX, FileInfoWorker::Scale(UINT64_MAX, 1.2));
  EXPECT_EQ(UINT64_MAX, FileInfoWorker::Scale(UINT64_MAX / 10 * 9, 1.3));
}

TEST(FileInfoWorker, ModesWithAWorkerAndTheirFactors) {
  for (int32_t mode = -1; mode <= 11; ++mode) {
    const uint32_t m = static_cast<uint32_t>(mode);
    const bool expected = mode == 1 || mode == 2 || mode == 3 || mode == 4 || mode == 9;
    EXPECT_EQ(expected, FileInfoWorker::HasWorker(m)) << mode;
    const double factor = mode == 1 ? 1.2 : mode == 4 ? 1.3 : 1.0;
    EXPECT_EQ(factor, FileInfoWorker::ModeFactor(m)) << mode;
  }
}

TEST(FileInfoWorker, ExclusionsLeaveItemsOut) {
  KnownTree tree;
  struct Case {
    const char* name;
    KeyMap extensions, directories, files;
    uint64_t expected;
  };
  const Case cases[] = {
      {"none", {}, {}, {}, 1000},
      {"folder", {}, Keys({tree.lower(L"skip")}), {}, 850},
      {"nested folder", {}, Keys({tree.lower(L"sub\\deep")}), {}, 750},
      {"file", {}, {}, Keys({tree.lower(L"b.bin")}), 800},
      {"extension", Keys({L"txt"}), {}, {}, 450},
      {"all three", Keys({L"dat"}), Keys({tree.lower(L"skip")}), Keys({tree.lower(L"a.txt")}),
       500},
      {"the root itself", {}, Keys({tree.lower()}), {}, 0},
      {"upper-case entry", {}, Keys({tree.dir.Sub(L"SKIP")}), {}, 1000},
  };
  for (const Case& c : cases) {
    ScanExclusions filter;
    filter.Init(L"FileInfoWorker", c.extensions, c.directories, c.files, {});
    EXPECT_EQ(c.expected, Measure({tree.root()}, &filter)) << c.name;
  }
}

TEST(FileInfoWorker, PathForms) {
  KnownTree tree;
  ScanExclusions no_b;
  no_b.Init(L"FileInfoWorker", {}, {}, Keys({tree.lower(L"b.bin")}), {});
  struct Case {
    const char* name;
    std::wstring path;
    const ScanExclusions* filter;
    uint64_t expected;
  };
  const Case cases[] = {
      {"folder", tree.root(), nullptr, 1000},
      {"trailing backslash", tree.root() + L"\\", nullptr, 1000},
      {"trailing backslashes", tree.root() + L"\\\\\\", nullptr, 1000},
      {"trailing slashes", tree.root() + L"//", nullptr, 1000},
      {"mixed trailing", tree.root() + L"\\/\\", nullptr, 1000},
      {"forward slashes inside", ExCommon::ToLower(tree.root()) + L"/sub/", nullptr, 550},
      {"single file", tree.dir.Sub(L"b.bin"), nullptr, 200},
      {"single file, trailing backslash", tree.dir.Sub(L"b.bin") + L"\\", nullptr, 200},
      {"single file excluded", tree.dir.Sub(L"B.BIN"), &no_b, 0},
      {"missing path", tree.dir.Sub(L"nothing\\here"), nullptr, 0},
      {"wildcard", tree.dir.Sub(L"*"), nullptr, 0},
      {"wildcard name", tree.dir.Sub(L"?.txt"), nullptr, 0},
      {"empty", L"", nullptr, 0},
      {"only separators", L"\\/", nullptr, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(c.expected, Measure({c.path}, c.filter)) << c.name;
  EXPECT_EQ(1200u, Measure({tree.root(), tree.dir.Sub(L"b.bin")}));
}

std::wstring FromUtf8(const char* text) {
  int n = ::MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, text, -1, &out[0], n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

using UnixNameFn = char*(CDECL*)(const wchar_t*);

UnixNameFn UnixNameFunction() {
  return reinterpret_cast<UnixNameFn>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
}

// The Unix form of a path whose parent exists; empty outside Wine.
std::wstring UnixPath(const std::wstring& path) {
  UnixNameFn unix_name = UnixNameFunction();
  if (!unix_name) return std::wstring();
  size_t cut = path.find_last_of(L'\\');
  char* parent = unix_name(path.substr(0, cut).c_str());
  std::wstring result = parent ? FromUtf8(parent) + L"/" + path.substr(cut + 1) : L"";
  ::HeapFree(::GetProcessHeap(), 0, parent);
  return result;
}

// Runs a Unix program through Wine, then polls for its effect: the handle of
// a Unix process does not tell when it has ended.
bool RunUnix(const std::wstring& command, const std::function<bool()>& done) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::vector<wchar_t> line(command.begin(), command.end());
  line.push_back(0);
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
    return false;
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  for (int i = 0; i < 500; ++i) {
    if (done()) return true;
    ::Sleep(10);
  }
  return done();
}

bool Exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A directory symbolic link. Wine's CreateSymbolicLinkW does nothing, but its
// Z: drive shows Unix symlinks to folders as reparse points.
bool MakeDirectoryLink(const std::wstring& link, const std::wstring& target) {
  if (::CreateSymbolicLinkW(link.c_str(), target.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) &&
      Exists(link))
    return true;
  const std::wstring unix_link = UnixPath(link), unix_target = UnixPath(target);
  if (unix_link.empty() || unix_target.empty()) return false;
  return RunUnix(L"Z:\\bin\\ln -s \"" + unix_target + L"\" \"" + unix_link + L"\"",
                 [&] { return Exists(link); });
}

bool RemoveLink(const std::wstring& link) {
  if (::RemoveDirectoryW(link.c_str()) || !Exists(link)) return true;
  const std::wstring unix_link = UnixPath(link);
  return !unix_link.empty() &&
         RunUnix(L"Z:\\bin\\rm \"" + unix_link + L"\"", [&] { return !Exists(link); });
}

// Removes the link before its folder goes (Wine cannot delete it itself).
struct ScopedLink {
  std::wstring path;
  bool made;
  ScopedLink(const std::wstring& link, const std::wstring& target)
      : path(link), made(MakeDirectoryLink(link, target)) {}
  ~ScopedLink() {
    if (made) {
      EXPECT_TRUE(RemoveLink(path)) << path;
    }
  }
};

TEST(FileInfoWorker, LinksInsideTheTreeAreNotFollowed) {
  KnownTree tree;
  TempDir outside;
  ASSERT_TRUE(outside.WriteFile(L"big.bin", std::string(5000, 'x')));
  ScopedLink link(tree.dir.Sub(L"sub\\link"), outside.path());
  ScopedLink loop(tree.dir.Sub(L"sub\\deep\\loop"), tree.root());
  ASSERT_TRUE(link.made);
  ASSERT_TRUE(loop.made);
  for (const ScopedLink* l : {&link, &loop}) {
    DWORD attributes = ::GetFileAttributesW(l->path.c_str());
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_REPARSE_POINT) << std::hex << attributes;
  }
  EXPECT_EQ(1000u, Measure({tree.root()}));
  EXPECT_EQ(0u, Measure({link.path}));
  EXPECT_EQ(0u, Measure({link.path + L"\\"}));
  EXPECT_EQ(0u, Measure({loop.path}));
}

TEST(FileInfoWorker, DeepTreeBeyondMaxPath) {
  TempDir dir;
  const int depth = 200;  // about 1000 characters below the temporary folder
  std::wstring path = L"\\\\?\\" + dir.path();
  std::vector<std::wstring> folders;
  for (int i = 0; i < depth; ++i) {
    path += L"\\dddd";
    ASSERT_TRUE(::CreateDirectoryW(path.c_str(), nullptr)) << i << " " << ::GetLastError();
    folders.push_back(path);
  }
  auto write = [](const std::wstring& file, DWORD bytes) {
    HANDLE h = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    std::string data(bytes, 'z');
    DWORD written = 0;
    ::WriteFile(h, data.data(), bytes, &written, nullptr);
    ::CloseHandle(h);
  };
  write(folders[9] + L"\\near.bin", 11);
  write(folders.back() + L"\\bottom.bin", 31);
  EXPECT_EQ(42u, Measure({dir.path()}));
  ::DeleteFileW((folders[9] + L"\\near.bin").c_str());
  ::DeleteFileW((folders.back() + L"\\bottom.bin").c_str());
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) ::RemoveDirectoryW(it->c_str());
}

TEST(FileInfoWorker, DriveRootsUseTheDrivesUsedSpace) {
  ScanExclusions root_excluded;
  root_excluded.Init(L"FileInfoWorker", {}, Keys({L"c:\\"}), {}, {});
  for (const wchar_t* path : {L"C:\\", L"C:", L"C:/", L"C", L"c:\\\\", L"C:\\/"}) {
    EXPECT_TRUE(FileInfoWorker::IsDriveRoot(path)) << path;
    bool stable = false;
    for (int attempt = 0; attempt < 50 && !stable; ++attempt) {
      uint64_t before = UsedSpaceOfC();
      uint64_t measured = Measure({path});
      uint64_t after = UsedSpaceOfC();
      if (before != after) continue;  // something else wrote to the disk meanwhile
      stable = true;
      EXPECT_GT(measured, 0u) << path;
      EXPECT_EQ(before, measured) << path;
    }
    EXPECT_TRUE(stable) << path;
    EXPECT_EQ(0u, Measure({path}, &root_excluded)) << path;
  }
  std::wstring root;
  EXPECT_TRUE(FileInfoWorker::IsDriveRoot(L"d:/", &root));
  EXPECT_EQ(L"d:\\", root);
  EXPECT_TRUE(FileInfoWorker::IsDriveRoot(L"x", &root));
  EXPECT_EQ(L"x:\\", root);
  for (const wchar_t* path : {L"", L"\\", L"//", L"ab", L"C:\\x", L"\\\\server\\share"})
    EXPECT_FALSE(FileInfoWorker::IsDriveRoot(path)) << path;
  EXPECT_EQ(0u, Measure({L"Q:\\"}));  // no such drive
}

TEST(FileInfoWorker, QuickScanRemembersItsSize) {
  KnownTree tree;
  RegValueOverride last(product::kAntiVirusKey, kLastQuickScan);
  last.Remove();
  {
    LogTail tail;
    FileInfoWorker first(FileInfoWorker::kQuickScan);
    first.Configure(L"FileInfoWorker", {}, {}, {}, {}, {tree.root()});
    first.run();
    EXPECT_EQ(1000u, first.Estimate());
    uint64_t stored = 0;
    ASSERT_TRUE(ReadLastQuickScan(&stored));
    EXPECT_EQ(1000u, stored);
    EXPECT_TRUE(tail.Has(L"FileInfoWorker::run - Writing quick scan size:1000", LogTag(LOG_ALW)));
    EXPECT_FALSE(tail.Has(L"FileInfoWorker::run - Reading quick scan size:"));
  }
  // The next quick scan publishes 1.2 x the stored size before its walk ends.
  LogTail tail;
  FileInfoWorker next(FileInfoWorker::kQuickScan);
  next.Configure(L"FileInfoWorker", {}, {}, {}, {}, std::vector<std::wstring>(5000, tree.root()));
  next.SetPriorityOption(true);
  ASSERT_TRUE(next.StartThread());
  bool completed = false;
  uint64_t estimate = 0;
  for (int i = 0; i < 3000 && estimate == 0; ++i) {
    next.Read(&completed, &estimate);
    if (estimate == 0) ::Sleep(1);
  }
  EXPECT_FALSE(completed);
  EXPECT_EQ(1200u, estimate);
  // The priority option raises the walking thread itself.
  EXPECT_EQ(THREAD_PRIORITY_ABOVE_NORMAL, ::GetThreadPriority(next.thread()));
  HANDLE thread = next.stop(20000);
  ASSERT_NE(nullptr, thread);
  EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread, 0));
  EXPECT_TRUE(next.IsCompleted());
  EXPECT_TRUE(tail.Has(L"FileInfoWorker::run - Reading quick scan size:1000", LogTag(LOG_ALW)));
}

TEST(FileInfoWorker, QuickScanStartValueFromHostileRegistry) {
  KnownTree tree;
  RegValueOverride last(product::kAntiVirusKey, kLastQuickScan);
  struct Case {
    const char* name;
    DWORD type;
    std::vector<BYTE> bytes;
  };
  const Case cases[] = {
      {"maximum", REG_BINARY, std::vector<BYTE>(8, 0xFF)},
      {"too long", REG_BINARY, std::vector<BYTE>(64, 0x7F)},
      {"too short", REG_BINARY, {0x01}},
      {"string", REG_SZ, {'x', 0, 0, 0}},
      {"zero", REG_BINARY, std::vector<BYTE>(8, 0)},
  };
  for (const Case& c : cases) {
    last.SetRaw(c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
    FileInfoWorker worker(FileInfoWorker::kQuickScan);
    worker.Configure(L"FileInfoWorker", {}, {}, {}, {}, {tree.root()});
    worker.run();
    EXPECT_TRUE(worker.IsCompleted()) << c.name;
    EXPECT_EQ(1000u, worker.Estimate()) << c.name;
  }
}

TEST(FileInfoWorker, StopDuringALargeWalk) {
  TempDir dir;
  const int folders = 20, per_folder = 50;
  for (int f = 0; f < folders; ++f) {
    const std::wstring folder = dir.Sub(L"f" + std::to_wstring(f));
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    for (int i = 0; i < per_folder; ++i) {
      HANDLE h = ::CreateFileW((folder + L"\\n" + std::to_wstring(i)).c_str(), GENERIC_WRITE, 0,
                               nullptr, CREATE_NEW, 0, nullptr);
      ASSERT_NE(INVALID_HANDLE_VALUE, h);
      DWORD written = 0;
      ::WriteFile(h, "1", 1, &written, nullptr);
      ::CloseHandle(h);
    }
  }
  const uint64_t files = folders * per_folder;

  // The walk itself honours the flag between entries.
  {
    std::atomic<bool> stop{false};
    FileInfoWorker::WalkCounters counters;
    std::thread stopper([&] {
      while (counters.files.load() < 10) std::this_thread::yield();
      stop.store(true);
    });
    // The tree 200 times over, so the walk outlasts any delay in scheduling the stopper.
    const std::vector<std::wstring> paths(200, dir.path());
    uint64_t total = FileInfoWorker::CalculateFilesSize(paths, stop, nullptr, &counters);
    stopper.join();
    EXPECT_GE(counters.files.load(), 10u);
    EXPECT_LT(counters.files.load(), files * paths.size());
    EXPECT_LT(total, files * paths.size());
    std::atomic<bool> already{true};
    EXPECT_EQ(0u, FileInfoWorker::CalculateFilesSize({dir.path()}, already, nullptr));
  }

  // A running worker over many paths: stop() ends it with the flag set.
  FileInfoWorker worker(FileInfoWorker::kFullScan);
  worker.Configure(L"FileInfoWorker", {}, {}, {}, {}, std::vector<std::wstring>(100, dir.path()));
  ASSERT_TRUE(worker.StartThread());
  for (int i = 0; i < 5000 && worker.counters().files.load() == 0; ++i) ::Sleep(1);
  ASSERT_GT(worker.counters().files.load(), 0u);
  EXPECT_EQ(THREAD_PRIORITY_NORMAL, ::GetThreadPriority(worker.thread()));
  LogTail tail;
  HANDLE thread = worker.stop(20000);
  ASSERT_EQ(worker.thread(), thread);
  EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread, 0));
  EXPECT_TRUE(worker.IsCompleted());
  EXPECT_LT(worker.counters().files.load(), 100 * files);
  EXPECT_LT(worker.Estimate(), 100 * files * 12 / 10);
  EXPECT_TRUE(tail.Has(L"FileInfoWorker::stop - request to stop, wait:20000", LogTag(LOG_ALW)));
  EXPECT_TRUE(tail.Has(L"FileInfoWorker::stop - wait 20000 completed.", LogTag(LOG_ALW)));
}

TEST(FileInfoWorker, StopWithoutThread) {
  FileInfoWorker worker(FileInfoWorker::kFullScan);
  LogTail tail;
  EXPECT_EQ(nullptr, worker.stop(1));
  EXPECT_TRUE(tail.Has(L"FileInfoWorker::stop - request to stop, wait:1", LogTag(LOG_ALW)));
  EXPECT_FALSE(tail.Has(L"FileInfoWorker::stop - wait 1 completed."));
  EXPECT_FALSE(worker.IsCompleted());
  EXPECT_EQ(0u, worker.Estimate());
}

TEST(FileInfoWorker, RunLogsItsProgress) {
  KnownTree tree;
  LogTail tail;
  FileInfoWorker worker(FileInfoWorker::kFullScan);
  worker.Configure(L"FileInfoWorker", {}, {}, {}, {}, {tree.root()});
  worker.run();
  EXPECT_TRUE(tail.Has(L"FileInfoWorker::run - Start calculating total bytes to scan....",
                       LogTag(LOG_ALW)));
  EXPECT_TRUE(tail.Has(
      L"FileInfoWorker::run - Completed calculating, total bytes to scan : 1000 bytes.",
      LogTag(LOG_ALW)));
  EXPECT_TRUE(tail.Has(L"FileInfoWorker::run - Waiting for priority thread to join...",
                       LogTag(LOG_ALW)));
  EXPECT_TRUE(tail.Has(L"FileInfoWorker::run - Prioirty thread joined.", LogTag(LOG_ALW)));
  EXPECT_FALSE(tail.Has(L"FileInfoWorker::run[0 out of 1]"));  // DEBUG, below the threshold
}

QV_CHILD_MAIN(worker_debug_run) {
  if (args.size() != 2) return 2;
  FileInfoWorker worker(FileInfoWorker::kFullScan);
  worker.Configure(L"FileInfoWorker", {}, {}, {}, {}, {args[0], args[1]});
  worker.run();
  return worker.Estimate() == 1440 ? 0 : 1;
}

TEST(FileInfoWorker, PathIndexCountsFromZero) {
  KnownTree tree;
  const std::wstring first = tree.root(), second = tree.dir.Sub(L"b.bin");
  std::vector<std::wstring> lines;
  ASSERT_EQ(0, testing_support::RunChildAtLogLevel(L"worker_debug_run", {first, second}, LOG_DEBUG,
                                                   &lines));
  const std::wstring debug = LogTag(LOG_DEBUG);
  EXPECT_TRUE(testing_support::AnyLineHas(
      lines, L"FileInfoWorker::run[0 out of 2] - Scanning: " + first, debug));
  EXPECT_TRUE(testing_support::AnyLineHas(
      lines, L"FileInfoWorker::run[0 out of 2] - Total Size SO FAR with '" + first +
                 L"' is : 1000 bytes.", debug));
  EXPECT_TRUE(testing_support::AnyLineHas(
      lines, L"FileInfoWorker::run[1 out of 2] - Scanning: " + second, debug));
  EXPECT_TRUE(testing_support::AnyLineHas(
      lines, L"FileInfoWorker::run[1 out of 2] - Total Size SO FAR with '" + second +
                 L"' is : 1200 bytes.", debug));
}

TEST(FileInfoWorker, ExImpersonatesOnlyForMissingFolders) {
  KnownTree tree;
  std::atomic<bool> stop{false};
  LogTail tail;
  EXPECT_EQ(1000u, FileInfoWorker::CalculateFilesSizeEx({tree.root()}, stop, nullptr));
  EXPECT_FALSE(tail.Has(L"CalculateFilesSizeEx: Checking if given path"));
  const std::wstring missing = tree.dir.Sub(L"mapped\\share");
  EXPECT_EQ(200u, FileInfoWorker::CalculateFilesSizeEx({missing, tree.dir.Sub(L"b.bin")}, stop,
                                                        nullptr));
  EXPECT_TRUE(tail.Has(L"CalculateFilesSizeEx: Checking if given path is a folder or a file - "
                       L"Folder " + missing + L" doesn't exist, will impersonate.",
                       LogTag(LOG_ALW)));
  EXPECT_TRUE(tail.Has(L"ImpersonateUserEx::LogonUser- Invoked by 'CalculateFilesSizeEx'",
                       LogTag(LOG_ALW)));
  // Under Wine no session is listed, so the impersonation fails and the
  // paths are measured under the process's own account; with a logged-on
  // user (Windows) the total line below follows instead.
  if (!tail.Has(L"CalculateFilesSizeEx: Impersonated Total Size = 200", LogTag(LOG_ALW))) {
    EXPECT_TRUE(tail.Has(L"ImpersonateUserEx::LogonUser - failled. Error: ", LogTag(LOG_ERROR)));
  }
}

TEST(FileInfoWorker, NetworkSettingChoosesTheImpersonatingWalk) {
  KnownTree tree;
  KeyCreatedHere scanner_key(product::kScannerKey);
  RegValueOverride network(product::kScannerKey, L"ODScanNetworkItems");
  const std::wstring missing = tree.dir.Sub(L"mapped");
  const std::wstring line = L"CalculateFilesSizeEx: Checking if given path is a folder or a file "
                            L"- Folder " + missing + L" doesn't exist, will impersonate.";
  struct Case {
    uint32_t mode;
    DWORD network;
    bool impersonates;
  };
  for (Case c : {Case{2, 1, true}, Case{3, 1, true}, Case{2, 0, false}, Case{1, 1, false},
                 Case{4, 1, false}, Case{9, 1, false}}) {
    network.SetDword(c.network);
    RegValueOverride last(product::kAntiVirusKey, kLastQuickScan);
    LogTail tail;
    FileInfoWorker worker(c.mode);
    worker.Configure(L"FileInfoWorker", {}, {}, {}, {}, {missing, tree.root()});
    worker.run();
    EXPECT_EQ(c.impersonates, tail.Has(line, LogTag(LOG_ALW)))
        << "mode " << c.mode << " network " << c.network;
    EXPECT_EQ(FileInfoWorker::Scale(1000, FileInfoWorker::ModeFactor(c.mode)), worker.Estimate())
        << "mode " << c.mode;
  }
}

TEST(FileInfoWorker, StartStopCyclesLeakNothing) {
  KnownTree tree;
  auto cycle = [&](bool wait_for_end) {
    FileInfoWorker worker(FileInfoWorker::kFullScan);
    worker.Configure(L"FileInfoWorker", {}, {}, {}, {}, {tree.root()});
    EXPECT_TRUE(worker.StartThread());
    if (wait_for_end) {
      HANDLE thread = worker.stop(1);
      EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(thread, 20000));
      worker.stop(250);
    }
  };
  cycle(true);
  cycle(false);
  const DWORD before = testing_support::HandleCount();
  for (int i = 0; i < 40; ++i) cycle(i % 2 == 0);
  // A destroyed worker's thread may still be ending on its own.
  DWORD after = testing_support::HandleCount();
  for (int i = 0; i < 500 && after > before; ++i) {
    ::Sleep(10);
    after = testing_support::HandleCount();
  }
  EXPECT_LE(after, before);
}

}  // namespace
