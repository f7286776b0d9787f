// Engine-facing declarations of Quorvane.dll.
//
// The engine builds the request packet and the DLL reads that object in
// place, so both sides must agree on its exact memory layout. An engine that
// shares these types with the DLL must:
//   - include this same header, unchanged;
//   - be built with the same compiler and the same C++ standard library
//     (x86_64-w64-mingw32 g++, libstdc++, 64-bit, wchar_t of 16 bits), so
//     that std::wstring and std::map have the representation the DLL uses;
//   - keep a request packet alive and unchanged from Create to Close: the
//     DLL reads it in place and never changes or destroys it.
// This header includes only standard headers.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// ---------------------------------------------------------------------------
// Packets

// A message: a type, a subtype, a channel identifier and keyed text values.
// Keys are ordered by their UTF-16 code units compared as unsigned numbers,
// which is the default ordering of std::wstring here. Not internally locked.
// Narrow arguments are text in the system ANSI code page.
class GenericPacketW {
 public:
  GenericPacketW() = default;
  GenericPacketW(const GenericPacketW&) = default;
  GenericPacketW& operator=(const GenericPacketW&) = default;
  virtual ~GenericPacketW();

  void SetHeader(const std::string& type, const std::string& subtype,
                 const std::string& channelid);

  // False only when the entry could not be stored for lack of memory.
  bool SetKeyValue(std::wstring key, std::wstring value);
  bool SetKeyValueInt(const std::wstring& key, int32_t value);
  bool SetKeyValueUInt(const std::wstring& key, uint32_t value);
  bool SetKeyValueBool(const std::wstring& key, bool value);
  bool SetKeyValueBool(const std::string& key, bool value);

  // Empty text, `fallback`, or -1 when the key is absent.
  std::wstring GetKeyValue(const std::wstring& key) const;
  bool GetKeyValueBool(const std::wstring& key, bool fallback) const;
  bool GetKeyValueBool(const std::string& key, bool fallback) const;
  int32_t GetKeyValueInt(const std::wstring& key, int32_t fallback) const;

  void SetResult(const std::string& text);
  void SetStatus(const std::string& text);
  void SetPriorityHigh();
  void SetCreationTime();
  std::wstring GetScanRequestedBy() const;
  int32_t GetInvokerPID() const;
  void SetInvokerPID(int32_t pid);
  bool IsHiddenScan() const;

  // Sets the existing event named by "NamedEvent"; never creates it.
  bool SignalNamedEvent() const;

  std::wstring type;
  std::wstring subtype;
  std::wstring channelid;
  std::map<std::wstring, std::wstring> keyvallist;
};

// The scan packets differ from GenericPacketW only in how they are filled.
class AVMalwareDetectPacket : public GenericPacketW {
 public:
  ~AVMalwareDetectPacket() override;
};

class AVScannedItemPacket : public GenericPacketW {
 public:
  ~AVScannedItemPacket() override;
};

class AVConcludeScanPacket : public GenericPacketW {
 public:
  ~AVConcludeScanPacket() override;
};
