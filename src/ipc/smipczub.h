// SMIPCZUB: a one-way, many-writers-to-one-reader queue between processes of
// one machine, over a named page-file mapping guarded by a named mutex and
// announced by a named event.
//
// Named objects of a queue N (names from ipc/queue_names.h):
//   "Global\N"              mapping   created by the server, opened by clients
//   "Global\Mutex_N"        mutex     created by whoever comes first
//   "Global\Event_N"        event     data signal; server creates, writers open
//                                     it per record and set it
//   "Global\Event_N_SrvRun" event     exists exactly while a server listens
//
// Region of S bytes (little-endian, no alignment or padding anywhere):
//
//   0        8          16
//   +--------+----------+--------------------+-- ... --+--------------+----+
//   |itemCnt |usedBytes | record 0           | ...     | free         |2 B |
//   |  u64   |   u64    |                    |         |              |spare
//   +--------+----------+--------------------+-- ... --+--------------+----+
//                       ^16                            ^usedBytes      ^S-2
//
//   record (ItemHeader + payload), starting at any byte offset:
//   0          4                                76           84
//   +----------+--------------------------------+------------+-- size B --+
//   | flag u32 | name: 36 UTF-16 units, NUL-    | size u64   | payload    |
//   |0xABCDFFEE| terminated, at most 35 + NUL   | (unaligned)|            |
//   +----------+--------------------------------+------------+------------+
//   The next record begins right after the payload.
//
// A record of n payload bytes fits when usedBytes + 84 + n <= S - 2. The
// region never wraps: the server copies it out and empties it whole.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/handle.h"

#pragma pack(push, 1)
struct QueueHeader {
  uint64_t itemCount;
  uint64_t usedBytes;  // offset of the first free byte
};
struct ItemHeader {
  uint32_t flag;
  wchar_t name[36];
  uint64_t size;  // payload bytes, never 0
};
#pragma pack(pop)

static_assert(sizeof(wchar_t) == 2, "names are UTF-16");
static_assert(sizeof(QueueHeader) == 16, "region header is a wire format");
static_assert(sizeof(ItemHeader) == 84, "record header is a wire format");
static_assert(offsetof(ItemHeader, name) == 4, "record header is a wire format");
static_assert(offsetof(ItemHeader, size) == 76, "record header is a wire format");

// Encoding and decoding of the region; pure, no kernel objects. The reader
// side treats every header value as hostile.
namespace queue_layout {

inline constexpr uint64_t kHeaderSize = sizeof(QueueHeader);
inline constexpr uint64_t kItemHeaderSize = sizeof(ItemHeader);
inline constexpr uint32_t kItemFlag = 0xABCDFFEEu;
inline constexpr size_t kNameUnits = 36;
inline constexpr size_t kMaxNameLength = kNameUnits - 1;
inline constexpr uint64_t kTailReserve = 2;  // the last two bytes are never used
inline constexpr uint64_t kMinRegionSize = kHeaderSize + kTailReserve;
inline constexpr uint64_t kMaxRegionSize = uint64_t{1} << 32;

inline constexpr QueueHeader kEmptyHeader{0, kHeaderSize};

// Largest payload that fits after `usedBytes` in a region of `regionSize`
// bytes; 0 when none does or when `usedBytes` is outside [16, S - 2].
uint64_t FreePayloadBytes(uint64_t usedBytes, uint64_t regionSize);
bool RecordFits(uint64_t usedBytes, uint64_t payloadBytes, uint64_t regionSize);

// Header of a record: the name up to its first NUL, cut to 35 units, then
// NUL-filled.
ItemHeader MakeItemHeader(const std::wstring& name, uint64_t payloadBytes);

QueueHeader ReadHeader(const void* region);
void WriteHeader(void* region, const QueueHeader& header);

enum class ParseResult {
  kOk,
  kInvalidSize,  // size 0, or a record (header or payload) not inside [16, usedBytes)
  kInvalidFlag,
};

// Collects pointers to the header's itemCount records of a region copy of
// `regionSize` bytes, in write order. Never reads outside the copy. On any
// result but kOk `items` is left empty.
ParseResult ParseRecords(const uint8_t* region, uint64_t regionSize,
                         std::vector<const ItemHeader*>& items);

std::wstring ItemName(const ItemHeader& item);
inline const uint8_t* ItemPayload(const ItemHeader* item) {
  return reinterpret_cast<const uint8_t*>(item) + kItemHeaderSize;
}
// The payload read as UTF-16LE text, without its terminating NUL.
std::wstring ItemText(const ItemHeader* item);

}  // namespace queue_layout

enum ChannelType : uint32_t {
  kChannelNone = 0,
  kChannelServer = 1,
  kChannelClient = 2,
};

// One end of a queue. Calling order: Create once, any number of Write /
// WriteW (from any threads), Disconnect, destroy. A client whose Create failed
// may still Write: every write retries the mapping, so it connects once a
// server exists. Write may overlap Disconnect on another thread: it finishes
// first, and a write after Disconnect fails cleanly.
//
// Server: the listener thread alone reads the region and calls
// OnItemsReceived; a server subclass must call Disconnect in its own
// destructor and must not call it from OnItemsReceived.
class SMIPCZUB {
 public:
  SMIPCZUB();
  virtual ~SMIPCZUB();
  SMIPCZUB(const SMIPCZUB&) = delete;
  SMIPCZUB& operator=(const SMIPCZUB&) = delete;

  // type: kChannelServer or kChannelClient; name: the plain queue name N;
  // size: S in bytes, the same at both ends.
  bool Create(uint32_t type, const std::wstring& queueName, uint64_t queueSize);

  // Appends one record; `noRoom` is set only when the record did not fit.
  bool Write(const std::wstring& itemName, const void* data, uint64_t bytes,
             bool* noRoom = nullptr);
  // Payload: the text as UTF-16LE with its NUL; a full region is retried
  // `retries` times, 50 ms apart.
  bool WriteW(const std::wstring& itemName, std::wstring text, uint32_t retries);

  // Stops the listener, closes every handle, unmaps, frees the buffer. Always true.
  bool Disconnect();

  // Server side: one batch of records, in write order. They live in the read
  // buffer and stay valid until this call returns.
  virtual void OnItemsReceived(std::vector<const ItemHeader*>& items) = 0;

  bool created() const { return m_bCreated; }
  uint32_t type() const { return m_dwType; }
  uint64_t size() const { return m_qwSize; }
  const std::wstring& queueObjectName() const { return m_sQueueObjectName; }

 protected:
  bool OpenSharedMemory(uint32_t type, uint64_t queueSize);
  // 20 waits of 250 ms; an abandoned mutex counts as acquired.
  bool AcquireLock();
  void ReleaseLock();

 private:
  static DWORD WINAPI threadListener(void* channel);
  void Read();
  void SignalDataAvailable() const;
  void CloseChannel();

  std::atomic<bool> m_bCreated{false};
  std::wstring m_sQueueObjectName;
  uint32_t m_dwType = kChannelNone;
  uint64_t m_qwSize = 5120;
  UniqueHandle m_hFileMapping;
  UniqueView m_pView;
  std::unique_ptr<uint8_t[]> m_pReadBuffer;
  std::wstring m_sDataSignalName;
  std::wstring m_sServerMarkerName;
  UniqueHandle m_hServerRunningEvent;
  UniqueHandle NewDataAvailable;
  UniqueHandle ForwardToClient;
  std::atomic<bool> m_bStop{false};
  UniqueHandle m_hMutex;
  std::vector<HANDLE> m_ListenerThreads;

  // Writers hold it shared, Create and Disconnect exclusive, so no write
  // ever uses a handle or view that Disconnect is closing.
  SRWLOCK m_ChannelLock = SRWLOCK_INIT;
  std::vector<const ItemHeader*> m_Items;  // listener thread only
};
