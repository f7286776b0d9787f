#include "ipc/smipczub.h"

#include <cstring>
#include <new>
#include <utility>

#include "common/log.h"
#include "common/security.h"
#include "ipc/queue_names.h"

namespace queue_layout {

uint64_t FreePayloadBytes(uint64_t usedBytes, uint64_t regionSize) {
  if (regionSize < kMinRegionSize) return 0;
  const uint64_t limit = regionSize - kTailReserve;
  if (usedBytes < kHeaderSize || usedBytes > limit) return 0;
  const uint64_t room = limit - usedBytes;
  return room > kItemHeaderSize ? room - kItemHeaderSize : 0;
}

bool RecordFits(uint64_t usedBytes, uint64_t payloadBytes, uint64_t regionSize) {
  return payloadBytes != 0 && payloadBytes <= FreePayloadBytes(usedBytes, regionSize);
}

ItemHeader MakeItemHeader(const std::wstring& name, uint64_t payloadBytes) {
  // The name field may sit at any address: touched only through memcpy.
  wchar_t units[kNameUnits] = {};
  for (size_t i = 0; i < name.size() && i < kMaxNameLength && name[i] != L'\0'; ++i)
    units[i] = name[i];
  ItemHeader item;
  item.flag = kItemFlag;
  std::memcpy(reinterpret_cast<uint8_t*>(&item) + offsetof(ItemHeader, name), units, sizeof units);
  item.size = payloadBytes;
  return item;
}

QueueHeader ReadHeader(const void* region) {
  QueueHeader header;
  std::memcpy(&header, region, sizeof header);
  return header;
}

void WriteHeader(void* region, const QueueHeader& header) {
  std::memcpy(region, &header, sizeof header);
}

ParseResult ParseRecords(const uint8_t* region, uint64_t regionSize,
                         std::vector<const ItemHeader*>& items) {
  items.clear();
  if (regionSize < kHeaderSize) return ParseResult::kInvalidSize;
  const QueueHeader header = ReadHeader(region);
  if (header.itemCount == 0) return ParseResult::kOk;
  // Writers never move usedBytes outside [16, S - 2]; anything else is corrupt.
  if (regionSize < kMinRegionSize || header.usedBytes < kHeaderSize ||
      header.usedBytes > regionSize - kTailReserve)
    return ParseResult::kInvalidSize;
  const uint64_t end = header.usedBytes;
  uint64_t offset = kHeaderSize;
  // Every record takes at least 85 bytes, so a huge itemCount ends at the bound.
  for (uint64_t i = 0; i < header.itemCount; ++i) {
    if (end - offset < kItemHeaderSize) {
      items.clear();
      return ParseResult::kInvalidSize;
    }
    ItemHeader item;
    std::memcpy(&item, region + offset, sizeof item);
    if (item.size == 0 || item.size > end - offset - kItemHeaderSize) {
      items.clear();
      return ParseResult::kInvalidSize;
    }
    if (item.flag != kItemFlag) {
      items.clear();
      return ParseResult::kInvalidFlag;
    }
    items.push_back(reinterpret_cast<const ItemHeader*>(region + offset));
    offset += kItemHeaderSize + item.size;
  }
  return ParseResult::kOk;
}

std::wstring ItemName(const ItemHeader& item) {
  wchar_t units[kNameUnits];
  std::memcpy(units, reinterpret_cast<const uint8_t*>(&item) + offsetof(ItemHeader, name),
              sizeof units);
  size_t length = 0;
  while (length < kNameUnits && units[length] != L'\0') ++length;
  return std::wstring(units, length);
}

std::wstring ItemText(const ItemHeader* item) {
  uint64_t size = 0;
  std::memcpy(&size, reinterpret_cast<const uint8_t*>(item) + offsetof(ItemHeader, size),
              sizeof size);
  std::wstring text(static_cast<size_t>(size / sizeof(wchar_t)), L'\0');
  if (!text.empty()) std::memcpy(&text[0], ItemPayload(item), text.size() * sizeof(wchar_t));
  if (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

}  // namespace queue_layout

namespace {

using namespace queue_layout;

constexpr int kLockAttempts = 20;
constexpr DWORD kLockAttemptMs = 250;
constexpr DWORD kRetrySleepMs = 50;
constexpr DWORD kListenerJoinMs = 3000;


int ErrorCode() { return static_cast<int>(::GetLastError()); }

}  // namespace

SMIPCZUB::SMIPCZUB() = default;

SMIPCZUB::~SMIPCZUB() { Disconnect(); }

bool SMIPCZUB::Create(uint32_t type, const std::wstring& queueName, uint64_t queueSize) {
  SrwExclusiveLock guard(m_ChannelLock);
  if (m_bCreated) {
    Log(LOG_WARN, L"SMIPCZUB::Create: Channel clready created , allocated new object.");
    return false;
  }
  if (type != kChannelServer && type != kChannelClient)
    Log(LOG_ERROR, L"SMIPCZUB::Create: Invalid Type (%d).\n", static_cast<int>(type));
  m_sQueueObjectName = QueueObjectName(queueName);
  m_dwType = type;
  m_qwSize = queueSize;
  // Below 18 bytes no header fits; above 4 GiB the read buffer (S x 1.2) is absurd.
  if (queueSize < kMinRegionSize || queueSize > kMaxRegionSize) {
    Log(LOG_ERROR, L"SMIPCZUB::Create: Invalid queue size (%llu).\n",
        static_cast<unsigned long long>(queueSize));
    return false;
  }

  SECURITY_ATTRIBUTES* attributes = GetOpenSecurityAttributes();
  m_hMutex.reset(
      ::CreateMutexW(attributes, /*initial_owner=*/FALSE, QueueMutexName(queueName).c_str()));
  if (!m_hMutex) {
    Log(LOG_ERROR, L"SMIPCZUB::Create: Could not create mutex (%d).\n", ErrorCode());
    return false;
  }
  m_sDataSignalName = QueueDataSignalName(queueName);
  m_sServerMarkerName = QueueServerMarkerName(queueName);

  if (type == kChannelServer) {
    UniqueHandle existing(::OpenEventW(EVENT_MODIFY_STATE, FALSE, m_sServerMarkerName.c_str()));
    if (existing) {
      existing.reset();
      Log(LOG_FATAL, L"SMIPCZUB::Create: another server is already listening on this event : %s",
          m_sServerMarkerName.c_str());
      return false;
    }
    m_hServerRunningEvent.reset(::CreateEventW(attributes, /*manual_reset=*/FALSE,
                                               /*initial_state=*/FALSE,
                                               m_sServerMarkerName.c_str()));
    if (!m_hServerRunningEvent) {
      Log(LOG_ERROR,
          L"SMIPCZUB::Create: Could not create m_hServerRunningEvent named event (%d).\n",
          ErrorCode());
      return false;
    }
    // Two servers starting at once: the later one finds the marker made.
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
      m_hServerRunningEvent.reset();
      Log(LOG_FATAL, L"SMIPCZUB::Create: another server is already listening on this event : %s",
          m_sServerMarkerName.c_str());
      return false;
    }
    const size_t bufferSize = static_cast<size_t>(static_cast<double>(queueSize) * 1.2);
    m_pReadBuffer.reset(new (std::nothrow) uint8_t[bufferSize]);
    if (!m_pReadBuffer) {
      Log(LOG_ERROR, L"SMIPCZUB::Create: Could not allocate the read buffer (%d).\n",
          static_cast<int>(ERROR_NOT_ENOUGH_MEMORY));
      return false;
    }
    NewDataAvailable.reset(::CreateEventW(attributes, /*manual_reset=*/FALSE,
                                          /*initial_state=*/FALSE, m_sDataSignalName.c_str()));
    if (!NewDataAvailable) {
      Log(LOG_ERROR, L"SMIPCZUB::Create: Could not create NewDataAvailable named event (%d).\n",
          ErrorCode());
      return false;
    }
    ForwardToClient.reset(
        ::CreateEventW(nullptr, /*manual_reset=*/FALSE, /*initial_state=*/FALSE, nullptr));
    if (!ForwardToClient) {
      Log(LOG_ERROR, L"SMIPCZUB::Create: Could not create ForwardToClient  event (%d).\n",
          ErrorCode());
      return false;
    }
    m_bStop = false;
    HANDLE thread = ::CreateThread(nullptr, 0, &SMIPCZUB::threadListener, this, 0, nullptr);
    if (!thread) {
      Log(LOG_ERROR, L"SMIPCZUB::Create: Could not create listener thread (%d).\n", ErrorCode());
      return false;
    }
    m_ListenerThreads.push_back(thread);
  }

  m_bCreated = OpenSharedMemory(type, queueSize);
  return m_bCreated;
}

bool SMIPCZUB::OpenSharedMemory(uint32_t type, uint64_t queueSize) {
  if (m_bCreated) {
    Log(LOG_WARN, L"SMIPCZUB::Channel already created.");
    return false;
  }
  HANDLE mapping = nullptr;
  DWORD access = 0;
  if (type == kChannelServer) {
    mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, GetOpenSecurityAttributes(),
                                   PAGE_READWRITE, static_cast<DWORD>(queueSize >> 32),
                                   static_cast<DWORD>(queueSize), m_sQueueObjectName.c_str());
    access = FILE_MAP_ALL_ACCESS;
  } else if (type == kChannelClient) {
    mapping = ::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, /*inherit=*/FALSE,
                                 m_sQueueObjectName.c_str());
    access = FILE_MAP_READ | FILE_MAP_WRITE;
  }
  if (!mapping) {
    if (type == kChannelServer)
      Log(LOG_FATAL,
          L"SMIPCZUB::Server could not create file mapping for queue name : %s , object (%d).\n",
          m_sQueueObjectName.c_str(), ErrorCode());
    else
      Log(LOG_WARN,
          L"SMIPCZUB::Client could not open file mapping for queue name : %s , object (%d).\n",
          m_sQueueObjectName.c_str(), ErrorCode());
    return false;
  }
  m_hFileMapping.reset(mapping);
  // A client's S larger than the server's mapping fails here, never later.
  void* view = ::MapViewOfFile(mapping, access, 0, 0, static_cast<SIZE_T>(queueSize));
  if (!view) {
    Log(LOG_ERROR, L"Could not map view of file , Queue name : %s (%d).\n",
        m_sQueueObjectName.c_str(), ErrorCode());
    m_hFileMapping.reset();
    return false;
  }
  m_pView.reset(view);
  if (type == kChannelServer) {
    // The mapping may outlive an earlier server while clients hold it.
    bool locked = AcquireLock();
    WriteHeader(view, kEmptyHeader);
    if (locked) ReleaseLock();
  }
  return true;
}

bool SMIPCZUB::AcquireLock() {
  DWORD result = WAIT_FAILED;
  for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
    result = ::WaitForSingleObject(m_hMutex.get(), kLockAttemptMs);
    // The owner died holding it; its record never became visible (the
    // header changes last), so the region is consistent.
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return true;
  }
  const int error = result == WAIT_FAILED ? ErrorCode() : static_cast<int>(result);
  Log(LOG_ERROR, L"SMIPCZUB::Could not AcquireLock , err = %d", error);
  return false;
}

void SMIPCZUB::ReleaseLock() { ::ReleaseMutex(m_hMutex.get()); }

bool SMIPCZUB::Write(const std::wstring& itemName, const void* data, uint64_t bytes,
                     bool* noRoom) {
  if (noRoom) *noRoom = false;
  if (!data) {
    Log(LOG_ERROR, L"SMIPCZUB::Write: invalid data input.");
    return false;
  }
  SrwSharedLock channel(m_ChannelLock);
  if (!AcquireLock()) {
    Log(LOG_ERROR, L"SMIPCZUB::Write: Cannot lock Shared memory...");
    return false;
  }
  if (!m_bCreated) {
    m_bCreated = OpenSharedMemory(m_dwType, m_qwSize);
    if (!m_bCreated) {
      ReleaseLock();
      Log(LOG_WARN, L"SMIPCZUB::Write: Shared memory %s is not ready.", m_sQueueObjectName.c_str());
      return false;
    }
  }
  uint8_t* region = static_cast<uint8_t*>(m_pView.get());
  QueueHeader header = ReadHeader(region);
  if (!RecordFits(header.usedBytes, bytes, m_qwSize)) {
    ReleaseLock();  // the log line need not hold up other writers
    Log(LOG_ERROR, L"SMIPCZUB::Write: not enough room to store size %d", static_cast<int>(bytes));
    if (noRoom) *noRoom = true;
    // Wake the server anyway: a region it never heard of (or a corrupt
    // header) would otherwise stay full for good.
    SignalDataAvailable();
    return false;
  }
  const ItemHeader item = MakeItemHeader(itemName, bytes);
  std::memcpy(region + header.usedBytes, &item, sizeof item);
  std::memcpy(region + header.usedBytes + sizeof item, data, static_cast<size_t>(bytes));
  // Counters last, in one 16-byte store: a writer killed before it leaves
  // no record visible.
  header.itemCount += 1;
  header.usedBytes += kItemHeaderSize + bytes;
  WriteHeader(region, header);
  if (LogEnabled(LOG_DEBUG))
    Log(LOG_DEBUG, L"SMIPCZUB::Write: Thread ID %d wrote %d bytes\n",
        static_cast<int>(::GetCurrentThreadId()), static_cast<int>(bytes));
  ReleaseLock();
  SignalDataAvailable();
  return true;
}

bool SMIPCZUB::WriteW(const std::wstring& itemName, std::wstring text, uint32_t retries) {
  const uint64_t bytes = (static_cast<uint64_t>(text.size()) + 1) * sizeof(wchar_t);
  bool noRoom = false;
  bool written = Write(itemName, text.c_str(), bytes, &noRoom);
  if (written || retries == 0 || !noRoom) return written;
  for (uint32_t attempt = 0; attempt < retries; ++attempt) {
    Log(LOG_WARN, L"SMIPCZUB::WriteW: Out of storage retry attempt #%d for Shared memory %s",
        static_cast<int>(attempt), m_sQueueObjectName.c_str());
    ::Sleep(kRetrySleepMs);
    if (Write(itemName, text.c_str(), bytes, &noRoom)) {
      Log(LOG_ALW,
          L"SMIPCZUB::WriteW: Out of storage retry attempt #%d for Shared memory %s - Succeeded",
          static_cast<int>(attempt), m_sQueueObjectName.c_str());
      return true;
    }
    if (!noRoom) return false;
  }
  return false;
}

void SMIPCZUB::SignalDataAvailable() const {
  // Opened per record: a kept handle would outlive a restarted server's event.
  UniqueHandle signal(::OpenEventW(EVENT_MODIFY_STATE, FALSE, m_sDataSignalName.c_str()));
  if (signal) ::SetEvent(signal.get());
}

DWORD WINAPI SMIPCZUB::threadListener(void* channel) {
  SMIPCZUB* self = static_cast<SMIPCZUB*>(channel);
  HANDLE signal = self->NewDataAvailable.get();
  if (!signal) return 1;
  if (::WaitForSingleObject(signal, INFINITE) == WAIT_FAILED) return 1;
  for (;;) {
    if (self->m_bStop) {
      Log(LOG_ALW, L"SMIPCZUB::Write: threadListener terminated.\n");
      return 0;
    }
    self->Read();
    if (::WaitForSingleObject(signal, INFINITE) == WAIT_FAILED) return 1;
  }
}

void SMIPCZUB::Read() {
  if (!AcquireLock()) {
    Log(LOG_ERROR, L"SMIPCZUB::Read: Cannot lock Shared memory...");
    Log(LOG_ERROR, L"SMIPCZUB::Read failed.");
    return;
  }
  if (!m_bCreated) {
    Log(LOG_ERROR, L"SMIPCZUB::Read: Shared memory not ready.");
    ReleaseLock();
    Log(LOG_ERROR, L"SMIPCZUB::Read failed.");
    return;
  }
  // Only the used part: nothing past usedBytes is ever read. A header out
  // of bounds copies no records, and the parse then drops the batch.
  uint8_t* copy = m_pReadBuffer.get();
  const QueueHeader header = ReadHeader(m_pView.get());
  const bool bounded = header.usedBytes >= kHeaderSize && header.usedBytes <= m_qwSize;
  const uint64_t used = bounded ? header.usedBytes : kHeaderSize;
  std::memcpy(copy, m_pView.get(), static_cast<size_t>(used));
  WriteHeader(copy, header);  // the header the bound was taken from
  WriteHeader(m_pView.get(), kEmptyHeader);
  ReleaseLock();

  const ParseResult result = ParseRecords(copy, m_qwSize, m_Items);
  if (result != ParseResult::kOk) {
    if (result == ParseResult::kInvalidSize)
      Log(LOG_ERROR, L"SMIPCZUB::GetItemProperties: Invalid Item Size.");
    else
      Log(LOG_ERROR, L"SMIPCZUB::GetItemProperties: Invalid Item Flag.");
    Log(LOG_ERROR, L"SMIPCZUB::Read: NULL Item Property.");
    WriteHeader(copy, kEmptyHeader);
    return;
  }
  if (!m_Items.empty()) OnItemsReceived(m_Items);
}

bool SMIPCZUB::Disconnect() {
  std::vector<HANDLE> threads;
  {
    SrwExclusiveLock guard(m_ChannelLock);
    m_bStop = true;
    if (ForwardToClient) ::SetEvent(ForwardToClient.get());
    if (NewDataAvailable) ::SetEvent(NewDataAvailable.get());
    threads.swap(m_ListenerThreads);
  }
  // Outside the channel lock: a handler may still be writing through us.
  if (!threads.empty()) {
    const DWORD count = static_cast<DWORD>(threads.size());
    if (::WaitForMultipleObjects(count, threads.data(), TRUE, kListenerJoinMs) == WAIT_TIMEOUT) {
      // Freeing the buffer or view under a running listener would crash it.
      Log(LOG_WARN, L"SMIPCZUB::Disconnect: listener still busy after %d ms, waiting for it.",
          static_cast<int>(kListenerJoinMs));
      ::WaitForMultipleObjects(count, threads.data(), TRUE, INFINITE);
    }
    for (HANDLE thread : threads) ::CloseHandle(thread);
  }
  SrwExclusiveLock guard(m_ChannelLock);
  CloseChannel();
  return true;
}

void SMIPCZUB::CloseChannel() {
  m_hServerRunningEvent.reset();
  NewDataAvailable.reset();
  ForwardToClient.reset();
  m_hMutex.reset();
  m_hFileMapping.reset();
  m_pView.reset();
  m_pReadBuffer.reset();
  m_bCreated = false;
}
