#include "queue_server.h"

#include <cstring>

#include "support/test_support.h"

namespace testing_support {

RecordingServer::RecordingServer()
    : open_gate_(::CreateEventW(nullptr, /*manual_reset=*/TRUE, /*initial_state=*/TRUE, nullptr)) {
  ::InitializeCriticalSection(&lock_);
}

RecordingServer::~RecordingServer() {
  Release();
  Disconnect();
  ::CloseHandle(open_gate_);
  ::DeleteCriticalSection(&lock_);
}

void RecordingServer::OnItemsReceived(std::vector<const ItemHeader*>& items) {
  {
    ::EnterCriticalSection(&lock_);
    for (const ItemHeader* item : items) {
      ReceivedRecord record;
      record.raw.assign(reinterpret_cast<const char*>(item),
                        static_cast<size_t>(queue_layout::kItemHeaderSize + item->size));
      record.name = queue_layout::ItemName(*item);
      record.text = queue_layout::ItemText(item);
      record.batch = batches_;
      records_.push_back(std::move(record));
    }
    ++batches_;
    ::LeaveCriticalSection(&lock_);
  }
  ::WaitForSingleObject(open_gate_, 60000);
}

void RecordingServer::Hold() { ::ResetEvent(open_gate_); }
void RecordingServer::Release() { ::SetEvent(open_gate_); }

size_t RecordingServer::Count() {
  ::EnterCriticalSection(&lock_);
  size_t n = records_.size();
  ::LeaveCriticalSection(&lock_);
  return n;
}

size_t RecordingServer::Batches() {
  ::EnterCriticalSection(&lock_);
  size_t n = batches_;
  ::LeaveCriticalSection(&lock_);
  return n;
}

bool RecordingServer::WaitForCount(size_t count, DWORD timeout_ms) {
  ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  while (Count() < count) {
    if (::GetTickCount64() > deadline) return false;
    ::Sleep(5);
  }
  return true;
}

std::vector<ReceivedRecord> RecordingServer::Records() {
  ::EnterCriticalSection(&lock_);
  std::vector<ReceivedRecord> copy = records_;
  ::LeaveCriticalSection(&lock_);
  return copy;
}

namespace {

uint64_t FileSize(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

}  // namespace

std::wstring LogTail::LogFilePath() {
  std::wstring exe = ThisExecutable();
  std::wstring host = exe.substr(exe.find_last_of(L'\\') + 1);
  host = host.substr(0, host.find_last_of(L'.'));
  wchar_t data[MAX_PATH];
  DWORD n = ::GetEnvironmentVariableW(L"ProgramData", data, MAX_PATH);
  std::wstring root = (n > 0 && n < MAX_PATH) ? std::wstring(data, n) : L"C:\\ProgramData";
  return root + L"\\QuillfeatherZub\\Logs\\" + host + L"\\" + host + L".log";
}

LogTail::LogTail() : start_(FileSize(LogFilePath())) {}

std::wstring LogTail::NewText() const {
  std::string bytes;
  if (!ReadWholeFile(LogFilePath(), bytes)) return L"";
  // A rotation since construction starts a new file.
  size_t from = bytes.size() >= start_ ? static_cast<size_t>(start_) : 0;
  if (from == 0 && bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE)
    from = 2;
  from &= ~static_cast<size_t>(1);
  std::wstring text((bytes.size() - from) / 2, L'\0');
  if (!text.empty()) std::memcpy(&text[0], bytes.data() + from, text.size() * 2);
  return text;
}

size_t LogTail::CountOf(const std::wstring& text) const {
  std::wstring all = NewText();
  size_t count = 0;
  for (size_t at = all.find(text); at != std::wstring::npos; at = all.find(text, at + text.size()))
    ++count;
  return count;
}

bool LogTail::WaitFor(const std::wstring& text, DWORD timeout_ms) const {
  ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  for (;;) {
    if (Contains(text)) return true;
    if (::GetTickCount64() > deadline) return false;
    ::Sleep(10);
  }
}

}  // namespace testing_support
