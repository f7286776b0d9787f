// Machine-wide names of the product's shared-memory queues, and the scheme
// that turns a queue name N into the names of its kernel objects. Both ends of
// a queue must use the same name and the same size.
#pragma once

#include <cstdint>
#include <string>

// Queues this module opens, always as a client.
inline constexpr wchar_t kHighQueueName[] = L"CntrlCtrShrMemHighQueue";
inline constexpr uint64_t kHighQueueSize = 20480;
inline constexpr wchar_t kLowQueueName[] = L"CntrlCtrShrMemLowQueue";
inline constexpr uint64_t kLowQueueSize = 1048576;

inline std::wstring QueueObjectName(const std::wstring& queue) { return L"Global\\" + queue; }
inline std::wstring QueueMutexName(const std::wstring& queue) { return L"Global\\Mutex_" + queue; }
inline std::wstring QueueDataSignalName(const std::wstring& queue) {
  return L"Global\\Event_" + queue;
}
// Its mere existence says that a server listens on the queue.
inline std::wstring QueueServerMarkerName(const std::wstring& queue) {
  return L"Global\\Event_" + queue + L"_SrvRun";
}
