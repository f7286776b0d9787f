// A queue server for tests: keeps a copy of every record it is handed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ipc/smipczub.h"
#include "support/log_tail.h"

namespace testing_support {

struct ReceivedRecord {
  std::string raw;  // the record as it was in the region: 84-byte header + payload
  std::wstring name;
  std::wstring text;  // payload as UTF-16LE, without its NUL
  size_t batch = 0;   // index of the OnItemsReceived call that delivered it
};

class RecordingServer : public SMIPCZUB {
 public:
  RecordingServer();
  ~RecordingServer() override;

  void OnItemsReceived(std::vector<const ItemHeader*>& items) override;

  // While held, the handler blocks after recording its batch, so the region
  // fills up without being drained.
  void Hold();
  void Release();

  size_t Count();
  size_t Batches();
  // Bounded polling: true once at least `count` records have arrived.
  bool WaitForCount(size_t count, DWORD timeout_ms = 30000);
  std::vector<ReceivedRecord> Records();

 private:
  CRITICAL_SECTION lock_;
  std::vector<ReceivedRecord> records_;  // guarded by lock_
  size_t batches_ = 0;                   // guarded by lock_
  HANDLE open_gate_;                     // manual-reset; set = not held
};

// Log lines "<tag of level> - <text>..." written by any process (this one or
// its children) after `tail` was made; `also`, when given, must appear in the
// same line.
size_t CountLogLines(const LogTail& tail, int level, const std::wstring& text,
                     const std::wstring& also = L"");
inline bool InLog(const LogTail& tail, int level, const std::wstring& text,
                  const std::wstring& also = L"") {
  return CountLogLines(tail, level, text, also) > 0;
}
// Bounded polling for such a line.
bool WaitForLog(const LogTail& tail, int level, const std::wstring& text,
                const std::wstring& also = L"", DWORD timeout_ms = 10000);

}  // namespace testing_support
