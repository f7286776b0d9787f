#include "packets/write_once.h"

#include "common/log.h"
#include "packets/json.h"

void IpcClientGenPacketW::OnItemsReceived(std::vector<const ItemHeader*>&) {}

bool WriteOnce(const GenericPacketW& packet, const std::wstring& queueName, uint64_t queueSize,
               const std::wstring& itemName) {
  IpcClientGenPacketW channel;
  std::wstring text = GetJDocument(packet);
  // An empty text still goes out, as a record of its NUL alone.
  if (text.empty())
    Log(LOG_ERROR, L"GenericPacketW::WriteOnce: GetJDocument produced empty data, Queue :%s.",
        queueName.c_str());
  bool written = false;
  if (!channel.Create(kChannelClient, queueName, queueSize)) {
    Log(LOG_ERROR, L"GenericPacketW::WriteOnce: Failed to init IPC client : Queue : %s.",
        queueName.c_str());
  } else {
    written = channel.WriteW(itemName, text, 0);
    if (!written)
      Log(LOG_ERROR, L"GenericPacketW::WriteOnce: Failed to write IPC data to Queue :%s.",
          queueName.c_str());
  }
  channel.Disconnect();
  return written;
}
