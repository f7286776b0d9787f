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

size_t CountLogLines(const LogTail& tail, int level, const std::wstring& text,
                     const std::wstring& also) {
  const std::wstring all = tail.Text();
  const std::wstring needle = LogTag(level) + L" - " + text;
  size_t count = 0;
  for (size_t at = all.find(needle); at != std::wstring::npos; at = all.find(needle, at + 1)) {
    size_t line_end = all.find(L"\r\n", at);
    size_t line_start = all.rfind(L"\r\n", at);
    line_start = line_start == std::wstring::npos ? 0 : line_start + 2;
    if (also.empty() || all.substr(line_start, line_end - line_start).find(also) != std::wstring::npos)
      ++count;
  }
  return count;
}

bool WaitForLog(const LogTail& tail, int level, const std::wstring& text, const std::wstring& also,
                DWORD timeout_ms) {
  ULONGLONG deadline = ::GetTickCount64() + timeout_ms;
  for (;;) {
    if (InLog(tail, level, text, also)) return true;
    if (::GetTickCount64() > deadline) return false;
    ::Sleep(10);
  }
}

}  // namespace testing_support
