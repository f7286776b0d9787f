// One-shot delivery of a packet to a shared-memory queue, on the caller's
// thread: a private client channel is opened, one record written, and the
// channel closed again. Any thread; nothing is kept between calls.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ipc/smipczub.h"
#include "quorvane.h"

// A client never receives records.
class IpcClientGenPacketW : public SMIPCZUB {
 public:
  void OnItemsReceived(std::vector<const ItemHeader*>& items) override;
};

// Writes the packet's JSON text as one record named `itemName` to the queue
// `queueName` of `queueSize` bytes (as its server created it), with no retry.
// True when the record was written; a failure is logged and the packet lost.
bool WriteOnce(const GenericPacketW& packet, const std::wstring& queueName, uint64_t queueSize,
               const std::wstring& itemName);
