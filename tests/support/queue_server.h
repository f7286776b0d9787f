// A queue server for tests: keeps a copy of every record it is handed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "ipc/smipczub.h"

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

// Reads the log lines that this test binary and its children append to their
// shared log file after construction.
class LogTail {
 public:
  LogTail();
  static std::wstring LogFilePath();
  std::wstring NewText() const;
  bool Contains(const std::wstring& text) const { return NewText().find(text) != std::wstring::npos; }
  size_t CountOf(const std::wstring& text) const;
  // Bounded polling for a line to appear.
  bool WaitFor(const std::wstring& text, DWORD timeout_ms = 10000) const;

 private:
  uint64_t start_ = 0;
};

}  // namespace testing_support
