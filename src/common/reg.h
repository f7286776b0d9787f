// Registry access: one open key per object, typed value operations that
// answer true or false. Nothing logs; failed reads leave out-arguments as
// they were, so callers preset their defaults. Stored content is untrusted:
// QueryDWORD takes only 4-byte REG_DWORD or REG_BINARY values, the string
// reads only REG_SZ or REG_EXPAND_SZ (not expanded), and every text read is
// cut at its first terminator or at the end of the data, whichever is first.
// QueryValueNames / QuerySubKeyNames write "name\0name\0\0"; `size` is in
// characters: the need when the buffer is null or too small, else the count written.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class RegBase {
 public:
  virtual bool Open(HKEY root, const wchar_t* path, REGSAM access) = 0;
  virtual bool Create(HKEY root, const wchar_t* path, SECURITY_ATTRIBUTES* sa, REGSAM access) = 0;
  virtual bool Create(HKEY root, const wchar_t* path, REGSAM access) = 0;
  virtual bool SetMultiString(const wchar_t* name, const std::vector<std::wstring>& values) = 0;
  virtual bool SetBinary(const std::wstring& name, const void* data, uint32_t size) = 0;
  virtual bool SetBinary(const wchar_t* name, const void* data, uint32_t size) = 0;
  virtual bool SetDWORD(const std::wstring& name, uint32_t value) = 0;
  virtual bool SetDWORD(const wchar_t* name, uint32_t value) = 0;
  virtual bool SetStringA(const char* name, const std::string& value) = 0;
  virtual bool SetString(const wchar_t* name, const std::wstring& value) = 0;
  virtual bool SetScrambledBinary(const wchar_t* name, const void* data, uint32_t size) = 0;
  virtual bool QueryBinary(const std::wstring& name, void* buffer, uint32_t size) = 0;
  virtual bool QueryBinary(const wchar_t* name, void* buffer, uint32_t size) = 0;
  virtual bool QueryDWORD(const wchar_t* name, uint32_t& value) = 0;
  virtual bool QueryDWORD(const wchar_t* name, int32_t& value) = 0;
  virtual bool QueryScrambledBinary(const wchar_t* name, void* buffer, uint32_t& size) = 0;
  virtual bool DeleteValue(const wchar_t* name) = 0;
  virtual bool DeleteSubKey(const wchar_t* name) = 0;
  virtual bool DeleteContents() = 0;
  virtual bool QueryValueSize(const wchar_t* name, uint32_t& size) = 0;
  virtual bool QueryValueNames(wchar_t* buffer, uint32_t& size) = 0;
  virtual bool QuerySubKeyNames(wchar_t* buffer, uint32_t& size) = 0;
  virtual void GetLastError(uint32_t* error) = 0;
  virtual void Close() = 0;
  virtual ~RegBase() = default;
  virtual bool QueryMultiString(const wchar_t* name, std::vector<std::wstring>& values) = 0;
  virtual bool QueryStringA(const char* name, std::string& value) = 0;
  virtual bool QueryString(const wchar_t* name, std::wstring& value) = 0;
  virtual bool EnumValueNames(std::vector<std::wstring>& names) = 0;
  virtual bool EnumIntValues(std::vector<std::pair<std::wstring, int32_t>>& values) = 0;
  virtual bool EnumStringValues(std::vector<std::pair<std::wstring, std::wstring>>& values) = 0;
  virtual bool EnumSubKeys(std::vector<std::wstring>& names) = 0;
};

class Reg : public RegBase {
 public:
  Reg() = default;
  ~Reg() override;
  Reg(const Reg&) = delete;
  Reg& operator=(const Reg&) = delete;

  bool Open(HKEY root, const wchar_t* path, REGSAM access) override;
  bool Create(HKEY root, const wchar_t* path, SECURITY_ATTRIBUTES* sa, REGSAM access) override;
  bool Create(HKEY root, const wchar_t* path, REGSAM access) override;
  bool SetMultiString(const wchar_t* name, const std::vector<std::wstring>& values) override;
  bool SetBinary(const std::wstring& name, const void* data, uint32_t size) override;
  bool SetBinary(const wchar_t* name, const void* data, uint32_t size) override;
  bool SetDWORD(const std::wstring& name, uint32_t value) override;
  bool SetDWORD(const wchar_t* name, uint32_t value) override;
  bool SetStringA(const char* name, const std::string& value) override;
  bool SetString(const wchar_t* name, const std::wstring& value) override;
  bool SetScrambledBinary(const wchar_t* name, const void* data, uint32_t size) override;
  bool QueryBinary(const std::wstring& name, void* buffer, uint32_t size) override;
  bool QueryBinary(const wchar_t* name, void* buffer, uint32_t size) override;
  bool QueryDWORD(const wchar_t* name, uint32_t& value) override;
  bool QueryDWORD(const wchar_t* name, int32_t& value) override;
  bool QueryScrambledBinary(const wchar_t* name, void* buffer, uint32_t& size) override;
  bool DeleteValue(const wchar_t* name) override;
  bool DeleteSubKey(const wchar_t* name) override;
  bool DeleteContents() override;
  bool QueryValueSize(const wchar_t* name, uint32_t& size) override;
  bool QueryValueNames(wchar_t* buffer, uint32_t& size) override;
  bool QuerySubKeyNames(wchar_t* buffer, uint32_t& size) override;
  void GetLastError(uint32_t* error) override;
  void Close() override;
  bool QueryMultiString(const wchar_t* name, std::vector<std::wstring>& values) override;
  bool QueryStringA(const char* name, std::string& value) override;
  bool QueryString(const wchar_t* name, std::wstring& value) override;
  bool EnumValueNames(std::vector<std::wstring>& names) override;
  bool EnumIntValues(std::vector<std::pair<std::wstring, int32_t>>& values) override;
  bool EnumStringValues(std::vector<std::pair<std::wstring, std::wstring>>& values) override;
  bool EnumSubKeys(std::vector<std::wstring>& names) override;

  bool IsOpen() const { return open_; }
  HKEY Key() const { return key_; }

 private:
  HKEY key_ = nullptr;
  bool open_ = false;
};

// HKEY_LOCAL_MACHINE, KEY_READ; the default (or empty text) when unreadable.
uint32_t ReadRegDWORD(const wchar_t* path, const wchar_t* name, uint32_t fallback);
std::wstring ReadRegString(const wchar_t* path, const wchar_t* name);

// XORs byte i with the low byte of `key` rotated right by i mod 32 bits.
void ScrambleBytes(void* data, size_t size, uint32_t key);
