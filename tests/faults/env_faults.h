// Shared pieces of the environment fault tests: scan calls on the built
// DLL, and the records a queue server child leaves in a file.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "quorvane.h"
#include "support/packet_json.h"
#include "support/quorvane_dll.h"
#include "support/test_support.h"

namespace faultenv {

// Replaces the file's content; false on any failure.
inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  size_t done = 0;
  bool ok = true;
  while (ok && done < bytes.size()) {
    const size_t left = bytes.size() - done;
    DWORD chunk = static_cast<DWORD>(left < (1u << 24) ? left : (1u << 24));
    DWORD written = 0;
    ok = ::WriteFile(h, bytes.data() + done, chunk, &written, nullptr) && written == chunk;
    done += written;
  }
  ::CloseHandle(h);
  return ok;
}

inline ScanCountMetrics Metrics(uint32_t files) {
  ScanCountMetrics m{};
  m.m_dwFilesCnt = files;
  m.m_dwScannedCnt = files;
  return m;
}

// One item through the two item exports; true when both forwarded it.
inline bool ScanItem(void* handle, const std::wstring& path, uint32_t index) {
  const testing_support::QuorvaneDll& d = testing_support::TheDll();
  uint64_t bytes = 512;
  ScanCountMetrics m = Metrics(index);
  return d.pre_scan(handle, 0, &bytes) == 1 && d.item_scan(handle, path.c_str(), 1, &m) == 1;
}

inline bool Detect(void* handle, const std::wstring& malware, const std::wstring& path) {
  MalwareInfo info{};
  info.m_sItemPath = path;
  info.m_sMalwareName = malware;
  info.m_dwDetectionAction = 2;
  ScanCountMetrics m = Metrics(1);
  return testing_support::TheDll().detection(handle, &info, nullptr, &m) == 1;
}

// A custom scan of `folder` with one item and one detection, closed; true
// when every call was forwarded.
inline bool ShortScan(const wchar_t* id, const std::wstring& folder) {
  const testing_support::QuorvaneDll& d = testing_support::TheDll();
  const wchar_t* paths[1] = {folder.c_str()};
  void* h = d.create(id, 2, nullptr, paths, 1, nullptr, nullptr);
  if (!h) return false;
  bool ok = ScanItem(h, folder + L"\\item", 1) && Detect(h, L"Short", folder + L"\\item");
  ScanCountMetrics m = Metrics(1);
  return d.close(h, 3, &m) == 0 && ok;
}

// Records as a queue server child writes them to its file, one frame per
// record: queue tag (1 byte), record length (u64), the record (84-byte
// header + payload). A child killed mid-frame leaves a short tail, ignored.
struct FileRecord {
  char queue = 0;  // 'H' or 'L'
  std::wstring name;
  std::wstring text;
  testing_support::ParsedPacket packet;
};

inline std::string FrameOf(char queue, const void* record, uint64_t length) {
  std::string frame(1, queue);
  frame.append(reinterpret_cast<const char*>(&length), sizeof length);
  frame.append(static_cast<const char*>(record), static_cast<size_t>(length));
  return frame;
}

inline std::vector<FileRecord> ReadRecordFile(const std::wstring& path) {
  std::vector<FileRecord> out;
  std::string bytes;
  if (!testing_support::ReadWholeFile(path, bytes)) return out;
  size_t at = 0;
  while (bytes.size() - at >= 9) {
    FileRecord r;
    r.queue = bytes[at];
    uint64_t length = 0;
    std::memcpy(&length, bytes.data() + at + 1, sizeof length);
    if (length < 84 || length > bytes.size() - at - 9) break;
    const char* record = bytes.data() + at + 9;
    wchar_t name[36];
    std::memcpy(name, record + 4, sizeof name);
    size_t n = 0;
    while (n < 36 && name[n]) ++n;
    r.name.assign(name, n);
    size_t units = static_cast<size_t>((length - 84) / 2);
    r.text.resize(units);
    if (units) std::memcpy(&r.text[0], record + 84, units * 2);
    if (!r.text.empty() && r.text.back() == L'\0') r.text.pop_back();
    r.packet = testing_support::ParsePacket(r.text);
    out.push_back(std::move(r));
    at += 9 + static_cast<size_t>(length);
  }
  return out;
}

// Bounded polling for a condition on the records of a file.
template <typename Predicate>
bool WaitForRecords(const std::wstring& path, Predicate done, DWORD timeout_ms = 20000) {
  ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  for (;;) {
    if (done(ReadRecordFile(path))) return true;
    if (::GetTickCount64() > deadline) return false;
    ::Sleep(20);
  }
}

// An engine thread: items to session `h`, a detection every `detect_every`
// items, until stopped; stopped and joined however the test leaves its scope.
class ScanSender {
 public:
  ScanSender(void* h, const std::wstring& folder, uint32_t detect_every)
      : thread_([this, h, folder, detect_every] {
          for (uint32_t i = 0; !stop_; ++i) {
            if (!ScanItem(h, folder + L"\\item" + std::to_wstring(i), i)) ++failures_;
            if (i % detect_every == 0 &&
                !Detect(h, L"Sender" + std::to_wstring(i), folder + L"\\d"))
              ++failures_;
            ++calls_;
            ::Sleep(1);
          }
        }) {}
  ~ScanSender() { Stop(); }
  ScanSender(const ScanSender&) = delete;
  ScanSender& operator=(const ScanSender&) = delete;

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  uint32_t calls() const { return calls_; }
  uint32_t failures() const { return failures_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<uint32_t> calls_{0}, failures_{0};
  std::thread thread_;  // last: starts once the counters exist
};

// Bounded polling for a named object to exist (an event, e.g. a server marker).
inline bool WaitForEvent(const std::wstring& name, DWORD timeout_ms = 30000) {
  ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  for (;;) {
    HANDLE h = ::OpenEventW(SYNCHRONIZE, FALSE, name.c_str());
    if (h) {
      ::CloseHandle(h);
      return true;
    }
    if (::GetTickCount64() > deadline) return false;
    ::Sleep(10);
  }
}

}  // namespace faultenv
