// qmon: the product-service end of the shared-memory queues, for trying the
// system out and for debugging a product. Serves one or more queues, prints
// every record as it arrives and the counts per queue and packet subtype when
// it ends (Ctrl+C, --duration or --count).
#include <windows.h>
#include <shellapi.h>

#include <rapidjson/document.h>
#include <rapidjson/encodings.h>
#include <rapidjson/prettywriter.h>
#include <rapidjson/stringbuffer.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/handle.h"
#include "ipc/queue_names.h"
#include "ipc/smipczub.h"

namespace {

using WideDocument = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>>;
using WideBuffer = rapidjson::GenericStringBuffer<rapidjson::UTF16<wchar_t>>;

const char kUsage[] =
    "usage: qmon [--queue NAME[:SIZE]]... [--pretty] [--duration SECONDS] [--count N]\n"
    "  Serves each named queue (default: CntrlCtrShrMemHighQueue:20480 and\n"
    "  CntrlCtrShrMemLowQueue:1048576) and prints every record: time, queue,\n"
    "  item name, size and the JSON text (one line, or indented with --pretty).\n"
    "  Ends on Ctrl+C, after --duration seconds or after --count records, and\n"
    "  prints the records counted per queue and per packet subtype.\n";

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n,
                          nullptr, nullptr);
  return out;
}

std::wstring ToWide(const char* ascii) { return std::wstring(ascii, ascii + std::strlen(ascii)); }

// Whole lines only, so records from two queues never interleave mid-line.
class Output {
 public:
  Output() : handle_(::GetStdHandle(STD_OUTPUT_HANDLE)) {
    DWORD mode = 0;
    console_ = ::GetConsoleMode(handle_, &mode) != 0;
    ::InitializeCriticalSection(&lock_);
  }
  ~Output() { ::DeleteCriticalSection(&lock_); }
  void Write(const std::wstring& text) {
    CsLock guard(lock_);
    DWORD done = 0;
    if (console_) {
      ::WriteConsoleW(handle_, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
    } else {
      std::string bytes = ToUtf8(text);
      ::WriteFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr);
    }
  }

 private:
  HANDLE handle_;
  bool console_ = false;
  CRITICAL_SECTION lock_;
};

// One line: control characters (never raw in valid JSON) are escaped.
std::wstring OneLine(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size());
  for (wchar_t c : text) {
    if (c < 0x20) {
      wchar_t escape[8];
      _snwprintf_s(escape, 8, _TRUNCATE, L"\\u%04X", static_cast<unsigned>(c));
      out += escape;
    } else {
      out += c;
    }
  }
  return out;
}

// Nesting depth of JSON text, strings skipped. Rendering a document is
// recursive, so deep (hostile) documents are shown as received instead.
size_t NestingDepth(const std::wstring& text) {
  size_t depth = 0, deepest = 0;
  bool in_string = false, escaped = false;
  for (wchar_t c : text) {
    if (in_string) {
      if (escaped) escaped = false;
      else if (c == L'\\') escaped = true;
      else if (c == L'"') in_string = false;
    } else if (c == L'"') {
      in_string = true;
    } else if (c == L'[' || c == L'{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == L']' || c == L'}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

constexpr size_t kMaxPrettyDepth = 64;

struct Counts {
  uint64_t records = 0;
  std::map<std::wstring, uint64_t> subtypes;
};

class Stats {
 public:
  Stats() { ::InitializeCriticalSection(&lock_); }
  ~Stats() { ::DeleteCriticalSection(&lock_); }
  // Returns the number of records counted so far, all queues.
  uint64_t Add(const std::wstring& queue, const std::wstring& subtype) {
    CsLock guard(lock_);
    Counts& counts = queues_[queue];
    ++counts.records;
    ++counts.subtypes[subtype];
    return ++total_;
  }
  void Declare(const std::wstring& queue) {
    CsLock guard(lock_);
    queues_[queue];
  }
  std::wstring Report(double seconds) {
    CsLock guard(lock_);
    wchar_t line[512];
    _snwprintf_s(line, 512, _TRUNCATE, L"--- totals after %.1f s ---\n", seconds);
    std::wstring out = line;
    for (const auto& [queue, counts] : queues_) {
      _snwprintf_s(line, 512, _TRUNCATE, L"%s: %llu records\n", queue.c_str(),
                   static_cast<unsigned long long>(counts.records));
      out += line;
      for (const auto& [subtype, n] : counts.subtypes) {
        _snwprintf_s(line, 512, _TRUNCATE, L"  %s: %llu\n", subtype.c_str(),
                     static_cast<unsigned long long>(n));
        out += line;
      }
    }
    _snwprintf_s(line, 512, _TRUNCATE, L"all queues: %llu records\n",
                 static_cast<unsigned long long>(total_));
    return out + line;
  }

 private:
  CRITICAL_SECTION lock_;
  std::map<std::wstring, Counts> queues_;  // guarded by lock_
  uint64_t total_ = 0;                     // guarded by lock_
};

struct Options {
  std::vector<std::pair<std::wstring, uint64_t>> queues;
  bool pretty = false;
  DWORD duration_ms = INFINITE;
  uint64_t count = 0;  // 0: no limit
};

class QueueMonitor : public SMIPCZUB {
 public:
  QueueMonitor(std::wstring queue, const Options& options, Output& out, Stats& stats,
               HANDLE done)
      : queue_(std::move(queue)), options_(options), out_(out), stats_(stats), done_(done) {}
  ~QueueMonitor() override { Disconnect(); }

  void OnItemsReceived(std::vector<const ItemHeader*>& items) override {
    for (const ItemHeader* item : items) {
      std::wstring text = queue_layout::ItemText(item);
      WideDocument document;
      document.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
      std::wstring subtype = L"(not JSON)";
      std::wstring shown = OneLine(text);
      if (!document.HasParseError()) {
        subtype = L"(no subtype)";
        if (document.IsObject()) {
          auto member = document.FindMember(L"subtype");
          if (member != document.MemberEnd() && member->value.IsString())
            subtype.assign(member->value.GetString(), member->value.GetStringLength());
        }
        if (options_.pretty && NestingDepth(text) <= kMaxPrettyDepth) {
          WideBuffer buffer;
          rapidjson::PrettyWriter<WideBuffer, rapidjson::UTF16<wchar_t>, rapidjson::UTF16<wchar_t>>
              writer(buffer);
          writer.SetIndent(L' ', 2);
          if (document.Accept(writer))
            shown = L"\n" + std::wstring(buffer.GetString(), buffer.GetSize());
        }
      }
      SYSTEMTIME now;
      ::GetLocalTime(&now);
      wchar_t head[160];
      _snwprintf_s(head, 160, _TRUNCATE, L"%02u:%02u:%02u.%03u ", now.wHour, now.wMinute,
                   now.wSecond, now.wMilliseconds);
      uint64_t size = item->size;
      std::wstring line = head + queue_ + L" item=" + OneLine(queue_layout::ItemName(*item)) +
                          L" size=" + std::to_wstring(size) + L" " + shown + L"\n";
      out_.Write(line);
      uint64_t total = stats_.Add(queue_, subtype);
      if (options_.count && total >= options_.count) ::SetEvent(done_);
    }
  }

 private:
  std::wstring queue_;
  const Options& options_;
  Output& out_;
  Stats& stats_;
  HANDLE done_;  // weak
};

HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleControl(DWORD) {
  if (g_stop) ::SetEvent(g_stop);
  return TRUE;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options, std::wstring& error) {
  for (int i = 1; i < argc; ++i) {
    std::wstring arg = argv[i];
    auto value = [&](std::wstring& out) {
      if (i + 1 >= argc) {
        error = arg + L" needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    std::wstring v;
    if (arg == L"--pretty") {
      options.pretty = true;
    } else if (arg == L"--queue") {
      if (!value(v)) return false;
      uint64_t size = kHighQueueSize;
      size_t colon = v.rfind(L':');
      std::wstring name = v.substr(0, colon);
      if (colon != std::wstring::npos) {
        wchar_t* end = nullptr;
        size = std::wcstoull(v.c_str() + colon + 1, &end, 10);
        if (end == v.c_str() + colon + 1 || *end != L'\0' || size == 0) {
          error = L"bad queue size in " + v;
          return false;
        }
      } else if (name == kLowQueueName) {
        size = kLowQueueSize;
      }
      if (name.empty()) {
        error = L"empty queue name";
        return false;
      }
      options.queues.emplace_back(name, size);
    } else if (arg == L"--duration") {
      if (!value(v)) return false;
      wchar_t* end = nullptr;
      double seconds = std::wcstod(v.c_str(), &end);
      if (end == v.c_str() || *end != L'\0' || !(seconds >= 0) || seconds > 4000000) {
        error = L"bad duration " + v;
        return false;
      }
      options.duration_ms = static_cast<DWORD>(seconds * 1000);
    } else if (arg == L"--count") {
      if (!value(v)) return false;
      wchar_t* end = nullptr;
      options.count = std::wcstoull(v.c_str(), &end, 10);
      if (end == v.c_str() || *end != L'\0') {
        error = L"bad count " + v;
        return false;
      }
    } else {
      error = L"unknown argument " + arg;
      return false;
    }
  }
  if (options.queues.empty()) {
    options.queues.emplace_back(kHighQueueName, kHighQueueSize);
    options.queues.emplace_back(kLowQueueName, kLowQueueSize);
  }
  return true;
}

int Run(int argc, wchar_t** argv) {
  Output out;
  Options options;
  std::wstring error;
  if (argc > 1 && (std::wstring(argv[1]) == L"--help" || std::wstring(argv[1]) == L"-h")) {
    out.Write(ToWide(kUsage));
    return 0;
  }
  if (!ParseOptions(argc, argv, options, error)) {
    out.Write(L"qmon: " + error + L"\n" + ToWide(kUsage));
    return 1;
  }
  for (const auto& queue : options.queues) {
    UniqueHandle marker(
        ::OpenEventW(SYNCHRONIZE, FALSE, QueueServerMarkerName(queue.first).c_str()));
    if (marker) {
      out.Write(L"qmon: another server already listens on queue " + queue.first +
                L"; stop it first.\n");
      return 2;
    }
  }

  UniqueHandle stop(::CreateEventW(nullptr, /*manual_reset=*/TRUE, /*initial_state=*/FALSE, nullptr));
  g_stop = stop.get();
  ::SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
  Stats stats;
  std::vector<std::unique_ptr<QueueMonitor>> monitors;
  for (const auto& queue : options.queues) {
    stats.Declare(queue.first);
    monitors.push_back(
        std::make_unique<QueueMonitor>(queue.first, options, out, stats, stop.get()));
    if (!monitors.back()->Create(kChannelServer, queue.first, queue.second)) {
      bool taken = UniqueHandle(::OpenEventW(SYNCHRONIZE, FALSE,
                                             QueueServerMarkerName(queue.first).c_str()))
                       .valid();
      out.Write(taken ? L"qmon: another server already listens on queue " + queue.first +
                            L"; stop it first.\n"
                      : L"qmon: could not serve queue " + queue.first + L" (size " +
                            std::to_wstring(queue.second) + L"), see the log.\n");
      monitors.clear();
      return 2;
    }
    out.Write(L"qmon: serving " + queue.first + L" (" + std::to_wstring(queue.second) +
              L" bytes)\n");
  }
  ULONGLONG started = ::GetTickCount64();
  ::WaitForSingleObject(stop.get(), options.duration_ms);
  for (auto& monitor : monitors) monitor->Disconnect();
  ::SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
  g_stop = nullptr;
  out.Write(stats.Report((::GetTickCount64() - started) / 1000.0));
  return 0;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (!argv) return 1;
  int result = Run(argc, argv);
  ::LocalFree(argv);
  return result;
}
