#include <windows.h>

#include <ctime>
#include <locale>
#include <new>
#include <sstream>

#include "common/ex_common.h"
#include "common/handle.h"
#include "common/log.h"
#include "quorvane.h"

namespace {

// Number and word parsing follows the classic locale whatever the process
// locale is.
template <typename T>
T ExtractNumber(const std::wstring& text) {
  std::wistringstream stream(text);
  stream.imbue(std::locale::classic());
  T value{};
  stream >> value;
  return value;
}

std::wstring NarrowToWide(const std::string& text) {
  return text.empty() ? std::wstring() : ExCommon::AnsiToWide(text);
}

}  // namespace

GenericPacketW::~GenericPacketW() = default;
AVMalwareDetectPacket::~AVMalwareDetectPacket() = default;
AVScannedItemPacket::~AVScannedItemPacket() = default;
AVConcludeScanPacket::~AVConcludeScanPacket() = default;

void GenericPacketW::SetHeader(const std::string& type_text, const std::string& subtype_text,
                               const std::string& channelid_text) {
  type = NarrowToWide(type_text);
  subtype = NarrowToWide(subtype_text);
  channelid = NarrowToWide(channelid_text);
}

bool GenericPacketW::SetKeyValue(std::wstring key, std::wstring value) {
  try {
    keyvallist.insert_or_assign(std::move(key), std::move(value));
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool GenericPacketW::SetKeyValueInt(const std::wstring& key, int32_t value) {
  try {
    return SetKeyValue(key, std::to_wstring(value));
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool GenericPacketW::SetKeyValueUInt(const std::wstring& key, uint32_t value) {
  try {
    return SetKeyValue(key, std::to_wstring(value));
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool GenericPacketW::SetKeyValueBool(const std::wstring& key, bool value) {
  try {
    return SetKeyValue(key, value ? L"true" : L"false");
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool GenericPacketW::SetKeyValueBool(const std::string& key, bool value) {
  try {
    return SetKeyValueBool(NarrowToWide(key), value);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

std::wstring GenericPacketW::GetKeyValue(const std::wstring& key) const {
  auto it = keyvallist.find(key);
  return it == keyvallist.end() ? std::wstring() : it->second;
}

bool GenericPacketW::GetKeyValueBool(const std::wstring& key, bool fallback) const {
  auto it = keyvallist.find(key);
  if (it == keyvallist.end() || it->second.empty()) return fallback;
  const std::wstring& value = it->second;
  if (value == L"0") return false;
  if (value == L"1") return true;
  try {
    std::wistringstream stream(ExCommon::ToLower(value));
    stream.imbue(std::locale::classic());
    bool result = false;
    stream >> std::boolalpha >> result;
    return result;
  } catch (const std::exception&) {
    return false;
  }
}

bool GenericPacketW::GetKeyValueBool(const std::string& key, bool fallback) const {
  try {
    return GetKeyValueBool(NarrowToWide(key), fallback);
  } catch (const std::exception&) {
    return fallback;
  }
}

int32_t GenericPacketW::GetKeyValueInt(const std::wstring& key, int32_t fallback) const {
  auto it = keyvallist.find(key);
  if (it == keyvallist.end() || it->second.empty()) return fallback;
  try {
    return ExtractNumber<int32_t>(it->second);
  } catch (const std::exception&) {
    return fallback;
  }
}

void GenericPacketW::SetResult(const std::string& text) {
  try {
    SetKeyValue(L"Result", NarrowToWide(text));
  } catch (const std::exception&) {
  }
}

void GenericPacketW::SetStatus(const std::string& text) {
  try {
    SetKeyValue(L"Status", NarrowToWide(text));
  } catch (const std::exception&) {
  }
}

void GenericPacketW::SetPriorityHigh() { SetKeyValue(L"Priority", L"high"); }

void GenericPacketW::SetCreationTime() {
  SetKeyValueInt(L"CreationTime", static_cast<int32_t>(static_cast<uint32_t>(
                                      static_cast<uint64_t>(std::time(nullptr)))));
}

std::wstring GenericPacketW::GetScanRequestedBy() const { return GetKeyValue(L"ScanRequestedBy"); }

int32_t GenericPacketW::GetInvokerPID() const {
  auto it = keyvallist.find(L"InvokerPID");
  if (it == keyvallist.end() || it->second.empty()) return -1;
  try {
    // Stream extraction of an unsigned number: "-1" and "4294967295" both
    // give 0xFFFFFFFF, an overflow gives the largest value.
    return static_cast<int32_t>(ExtractNumber<uint32_t>(it->second));
  } catch (const std::exception&) {
    return -1;
  }
}

void GenericPacketW::SetInvokerPID(int32_t pid) { SetKeyValueInt(L"InvokerPID", pid); }

bool GenericPacketW::IsHiddenScan() const { return GetKeyValueBool(std::wstring(L"HiddenScan"), false); }

bool GenericPacketW::SignalNamedEvent() const {
  std::wstring name;
  try {
    name = GetKeyValue(L"NamedEvent");
  } catch (const std::exception&) {
    return false;
  }
  if (name.empty()) return false;
  Log(LOG_ALW, L"GenericPacketW - Need to signal named event:%s", name.c_str());
  UniqueHandle event(::OpenEventW(EVENT_MODIFY_STATE, /*bInheritHandle=*/FALSE, name.c_str()));
  if (!event) return false;
  return ::SetEvent(event.get()) != FALSE;
}
