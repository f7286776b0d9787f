#include "common/reg.h"

#include <cstring>
#include <limits>
#include <numeric>
#include <sstream>

#include "common/product.h"

namespace {

constexpr DWORD kMaxNameChars = 4095;
constexpr DWORD kEnumDataBytes = 260;
// Bounds the re-reads of a value that keeps growing under another writer.
constexpr int kMaxReadAttempts = 8;

bool Report(LSTATUS status) {
  ::SetLastError(static_cast<DWORD>(status));
  return status == ERROR_SUCCESS;
}

// Text of a wide buffer that may hold an odd byte count and no terminator.
std::wstring WideText(const wchar_t* data, size_t bytes) {
  size_t chars = bytes / sizeof(wchar_t);
  size_t length = 0;
  while (length < chars && data[length] != L'\0') ++length;
  return std::wstring(data, length);
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

}  // namespace

void ScrambleBytes(void* data, size_t size, uint32_t key) {
  auto* bytes = static_cast<unsigned char*>(data);
  for (size_t i = 0; i < size; ++i) {
    unsigned shift = static_cast<unsigned>(i % 32);
    uint32_t rotated = shift == 0 ? key : (key >> shift) | (key << (32 - shift));
    bytes[i] ^= static_cast<unsigned char>(rotated & 0xFFu);
  }
}

Reg::~Reg() { Reg::Close(); }

bool Reg::Open(HKEY root, const wchar_t* path, REGSAM access) {
  Close();
  HKEY key = nullptr;
  if (!Report(::RegOpenKeyExW(root, path, 0, access, &key))) return false;
  key_ = key;
  open_ = true;
  return true;
}

bool Reg::Create(HKEY root, const wchar_t* path, SECURITY_ATTRIBUTES* sa, REGSAM access) {
  Close();
  HKEY key = nullptr;
  if (!Report(::RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, sa, &key,
                                nullptr)))
    return false;
  key_ = key;
  open_ = true;
  return true;
}

bool Reg::Create(HKEY root, const wchar_t* path, REGSAM access) {
  return Create(root, path, nullptr, access);
}

bool Reg::SetMultiString(const wchar_t* name, const std::vector<std::wstring>& values) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  try {
    std::vector<wchar_t> data;
    if (values.empty()) {
      data.assign(2, L'\0');
    } else {
      size_t chars =
          std::accumulate(values.begin(), values.end(), size_t{1},
                          [](size_t n, const std::wstring& v) { return n + v.size() + 1; });
      if (chars > std::numeric_limits<DWORD>::max() / sizeof(wchar_t))
        return Report(ERROR_INVALID_PARAMETER);
      data.reserve(chars);
      for (const auto& v : values) {
        data.insert(data.end(), v.begin(), v.end());
        data.push_back(L'\0');
      }
      data.push_back(L'\0');
    }
    return Report(::RegSetValueExW(key_, name, 0, REG_MULTI_SZ,
                                   reinterpret_cast<const BYTE*>(data.data()),
                                   static_cast<DWORD>(data.size() * sizeof(wchar_t))));
  } catch (...) {
    return Report(ERROR_NOT_ENOUGH_MEMORY);
  }
}

bool Reg::SetBinary(const std::wstring& name, const void* data, uint32_t size) {
  return SetBinary(name.c_str(), data, size);
}

bool Reg::SetBinary(const wchar_t* name, const void* data, uint32_t size) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  if (!data && size) return Report(ERROR_INVALID_PARAMETER);
  return Report(::RegSetValueExW(key_, name, 0, REG_BINARY, static_cast<const BYTE*>(data), size));
}

bool Reg::SetDWORD(const std::wstring& name, uint32_t value) {
  return SetDWORD(name.c_str(), value);
}

bool Reg::SetDWORD(const wchar_t* name, uint32_t value) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  DWORD data = value;
  return Report(::RegSetValueExW(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                                 sizeof data));
}

bool Reg::SetStringA(const char* name, const std::string& value) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  if (value.size() >= std::numeric_limits<DWORD>::max()) return Report(ERROR_INVALID_PARAMETER);
  return Report(::RegSetValueExA(key_, name, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>(value.size() + 1)));
}

bool Reg::SetString(const wchar_t* name, const std::wstring& value) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  if (value.size() >= std::numeric_limits<DWORD>::max() / sizeof(wchar_t))
    return Report(ERROR_INVALID_PARAMETER);
  return Report(::RegSetValueExW(key_, name, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
}

bool Reg::SetScrambledBinary(const wchar_t* name, const void* data, uint32_t size) {
  if (size == 0 || !data) return Report(ERROR_INVALID_PARAMETER);
  try {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::vector<unsigned char> copy(bytes, bytes + size);
    ScrambleBytes(copy.data(), copy.size(), product::kScrambleKey);
    return SetBinary(name, copy.data(), size);
  } catch (...) {
    return Report(ERROR_NOT_ENOUGH_MEMORY);
  }
}

bool Reg::QueryBinary(const std::wstring& name, void* buffer, uint32_t size) {
  return QueryBinary(name.c_str(), buffer, size);
}

bool Reg::QueryBinary(const wchar_t* name, void* buffer, uint32_t size) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  if (!buffer) return Report(ERROR_INVALID_PARAMETER);
  DWORD cb = size;
  return Report(::RegQueryValueExW(key_, name, nullptr, nullptr, static_cast<BYTE*>(buffer), &cb));
}

bool Reg::QueryDWORD(const wchar_t* name, uint32_t& value) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  DWORD data = 0, type = 0, cb = sizeof data;
  if (!Report(::RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &cb)))
    return false;
  // A shorter value would leave part of the number unread; text is no number.
  if (cb != sizeof data || (type != REG_DWORD && type != REG_BINARY))
    return Report(ERROR_INVALID_DATA);
  value = data;
  return true;
}

bool Reg::QueryDWORD(const wchar_t* name, int32_t& value) {
  uint32_t data = 0;
  if (!QueryDWORD(name, data)) return false;
  std::memcpy(&value, &data, sizeof value);
  return true;
}

bool Reg::QueryScrambledBinary(const wchar_t* name, void* buffer, uint32_t& size) {
  uint32_t stored = 0;
  if (!QueryValueSize(name, stored)) {
    size = 0;
    return false;
  }
  try {
    std::vector<unsigned char> bytes(stored ? stored : 1);
    if (!QueryBinary(name, bytes.data(), stored)) {
      size = 0;
      return false;
    }
    ScrambleBytes(bytes.data(), stored, product::kScrambleKey);
    if (stored == 0 || stored != size || !buffer) {
      size = stored;
      return Report(stored == 0 ? ERROR_INVALID_DATA : ERROR_MORE_DATA);
    }
    std::memcpy(buffer, bytes.data(), stored);
    return true;
  } catch (...) {
    size = 0;
    return Report(ERROR_NOT_ENOUGH_MEMORY);
  }
}

bool Reg::DeleteValue(const wchar_t* name) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  return Report(::RegDeleteValueW(key_, name));
}

bool Reg::DeleteSubKey(const wchar_t* name) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  if (!name || !*name) return Report(ERROR_INVALID_PARAMETER);
  Reg sub;
  // Emptying needs the right to delete values, which KEY_READ lacks.
  if (sub.Open(key_, name, KEY_READ | KEY_SET_VALUE)) sub.DeleteContents();
  bool deleted = Report(::RegDeleteKeyW(key_, name));
  DWORD error = ::GetLastError();
  sub.Close();
  ::SetLastError(error);
  return deleted;
}

bool Reg::DeleteContents() {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  bool any = false;
  bool all = true;
  DWORD first_error = ERROR_SUCCESS;
  auto note = [&](LSTATUS status) {
    any = true;
    if (status != ERROR_SUCCESS) {
      if (all) first_error = static_cast<DWORD>(status);
      all = false;
    }
  };
  std::vector<std::wstring> names;
  try {
    EnumValueNames(names);
    for (const auto& n : names) note(::RegDeleteValueW(key_, n.c_str()));
    names.clear();
    EnumSubKeys(names);
  } catch (...) {
    return Report(ERROR_NOT_ENOUGH_MEMORY);
  }
  for (const auto& n : names) {
    Reg sub;
    if (sub.Open(key_, n.c_str(), KEY_READ | KEY_SET_VALUE)) {
      sub.DeleteContents();
      sub.Close();
    }
    note(::RegDeleteKeyW(key_, n.c_str()));
  }
  // A partial deletion is a failure, not the outcome of whichever delete came last.
  if (!any) return Report(ERROR_NO_MORE_ITEMS);
  return Report(static_cast<LSTATUS>(first_error));
}

bool Reg::QueryValueSize(const wchar_t* name, uint32_t& size) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  DWORD cb = 0;
  if (!Report(::RegQueryValueExW(key_, name, nullptr, nullptr, nullptr, &cb))) return false;
  size = cb;
  return true;
}

namespace {

// Double-terminated list of names; `size` in characters, the need reported
// back when the buffer is missing or too small.
bool ListNames(const std::vector<std::wstring>& names, bool listed, wchar_t* buffer,
               uint32_t& size) {
  size_t need =
      std::accumulate(names.begin(), names.end(), size_t{1},
                      [](size_t n, const std::wstring& name) { return n + name.size() + 1; });
  if (!listed) need = 0;
  if (need > std::numeric_limits<uint32_t>::max()) return Report(ERROR_INVALID_DATA);
  if (!buffer || size < need) {
    size = static_cast<uint32_t>(need);
    return buffer ? Report(ERROR_MORE_DATA) : Report(listed ? ERROR_SUCCESS : ERROR_NO_MORE_ITEMS);
  }
  if (!listed) return Report(ERROR_NO_MORE_ITEMS);
  wchar_t* out = buffer;
  for (const auto& n : names) {
    std::memcpy(out, n.c_str(), (n.size() + 1) * sizeof(wchar_t));
    out += n.size() + 1;
  }
  *out = L'\0';
  size = static_cast<uint32_t>(need);
  return Report(ERROR_SUCCESS);
}

}  // namespace

bool Reg::QueryValueNames(wchar_t* buffer, uint32_t& size) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  try {
    std::vector<std::wstring> names;
    bool listed = EnumValueNames(names);
    return ListNames(names, listed, buffer, size);
  } catch (...) {
    return Report(ERROR_NOT_ENOUGH_MEMORY);
  }
}

bool Reg::QuerySubKeyNames(wchar_t* buffer, uint32_t& size) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  try {
    std::vector<std::wstring> names;
    bool listed = EnumSubKeys(names);
    return ListNames(names, listed, buffer, size);
  } catch (...) {
    return Report(ERROR_NOT_ENOUGH_MEMORY);
  }
}

void Reg::GetLastError(uint32_t* error) {
  if (error) *error = ::GetLastError();
}

void Reg::Close() {
  if (!open_) return;
  ::RegCloseKey(key_);
  key_ = nullptr;
  open_ = false;
}

bool Reg::QueryMultiString(const wchar_t* name, std::vector<std::wstring>& values) {
  uint32_t size = 0;
  if (!QueryValueSize(name, size)) return false;
  if (size < 2) return Report(ERROR_INVALID_DATA);
  try {
    // Two zero characters after the data, whatever it holds.
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 3, L'\0');
    DWORD cb = size;
    if (!Report(::RegQueryValueExW(key_, name, nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(data.data()), &cb)))
      return false;
    if (cb < 2) return Report(ERROR_INVALID_DATA);
    size_t chars = cb / sizeof(wchar_t);
    std::vector<std::wstring> result;
    size_t pos = 0;
    while (pos < chars && data[pos] != L'\0') {
      size_t end = pos;
      while (end < chars && data[end] != L'\0') ++end;
      result.emplace_back(data.data() + pos, end - pos);
      pos = end + 1;
    }
    values.swap(result);
    return true;
  } catch (...) {
    return Report(ERROR_NOT_ENOUGH_MEMORY);
  }
}

bool Reg::QueryStringA(const char* name, std::string& value) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  try {
    std::vector<char> data(256 + 1, '\0');
    for (int attempt = 0; attempt < kMaxReadAttempts; ++attempt) {
      DWORD type = 0;
      DWORD cb = static_cast<DWORD>(data.size() - 1);
      LSTATUS status =
          ::RegQueryValueExA(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &cb);
      if (status == ERROR_MORE_DATA) {
        if (cb >= std::numeric_limits<DWORD>::max()) return Report(ERROR_INVALID_DATA);
        data.assign(static_cast<size_t>(cb) + 1, '\0');
        continue;
      }
      if (!Report(status)) return false;
      if (!IsStringType(type)) return Report(ERROR_INVALID_DATATYPE);
      size_t length = 0;
      while (length < cb && length < data.size() && data[length] != '\0') ++length;
      value.assign(data.data(), length);
      return true;
    }
    return Report(ERROR_MORE_DATA);
  } catch (...) {
    return Report(ERROR_NOT_ENOUGH_MEMORY);
  }
}

bool Reg::QueryString(const wchar_t* name, std::wstring& value) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  DWORD type = 0, size = 0;
  if (!Report(::RegQueryValueExW(key_, name, nullptr, &type, nullptr, &size))) return false;
  if (!IsStringType(type)) return Report(ERROR_INVALID_DATATYPE);
  try {
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    DWORD cb = size;
    if (!Report(::RegQueryValueExW(key_, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                                   &cb)))
      return false;
    if (cb < 2 || !IsStringType(type)) return Report(ERROR_INVALID_DATA);
    value = WideText(data.data(), cb);
    return true;
  } catch (...) {
    return Report(ERROR_NOT_ENOUGH_MEMORY);
  }
}

bool Reg::EnumValueNames(std::vector<std::wstring>& names) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  DWORD count = 0;
  if (!Report(::RegQueryInfoKeyW(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                 nullptr, nullptr, nullptr, nullptr)))
    return !names.empty();
  try {
    std::vector<wchar_t> name(kMaxNameChars + 1);
    for (DWORD i = 0; i < count; ++i) {
      DWORD length = kMaxNameChars + 1;
      if (::RegEnumValueW(key_, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS)
        continue;
      if (length > kMaxNameChars) length = kMaxNameChars;
      names.emplace_back(name.data(), length);
    }
  } catch (...) {
    return Report(ERROR_NOT_ENOUGH_MEMORY);
  }
  return !names.empty();
}

bool Reg::EnumIntValues(std::vector<std::pair<std::wstring, int32_t>>& values) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  try {
    std::vector<std::pair<std::wstring, std::wstring>> texts;
    EnumStringValues(texts);
    for (auto& entry : texts) {
      std::wistringstream stream(entry.second);
      long long number = 0;
      // Unsigned DWORDs above INT32_MAX keep their bits; non-numbers are skipped.
      if (!(stream >> number) || number < std::numeric_limits<int32_t>::min() ||
          number > static_cast<long long>(std::numeric_limits<uint32_t>::max()))
        continue;
      uint32_t bits = static_cast<uint32_t>(number);
      int32_t integer = 0;
      std::memcpy(&integer, &bits, sizeof integer);
      values.emplace_back(std::move(entry.first), integer);
    }
  } catch (...) {
    return Report(ERROR_NOT_ENOUGH_MEMORY);
  }
  return !values.empty();
}

bool Reg::EnumStringValues(std::vector<std::pair<std::wstring, std::wstring>>& values) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  DWORD count = 0;
  if (!Report(::RegQueryInfoKeyW(key_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                                 nullptr, nullptr, nullptr, nullptr)))
    return !values.empty();
  try {
    std::vector<wchar_t> name(kMaxNameChars + 1);
    // Aligned for the DWORD read; 260 bytes.
    DWORD data[kEnumDataBytes / sizeof(DWORD)];
    for (DWORD i = 0; i < count; ++i) {
      DWORD length = kMaxNameChars + 1;
      DWORD type = 0;
      DWORD cb = kEnumDataBytes;
      if (::RegEnumValueW(key_, i, name.data(), &length, nullptr, &type,
                          reinterpret_cast<BYTE*>(data), &cb) != ERROR_SUCCESS)
        continue;
      if (length > kMaxNameChars) length = kMaxNameChars;
      if (cb > kEnumDataBytes) continue;
      if (type == REG_SZ) {
        values.emplace_back(std::wstring(name.data(), length),
                            WideText(reinterpret_cast<const wchar_t*>(data), cb));
      } else if (type == REG_DWORD && cb == sizeof(DWORD)) {
        values.emplace_back(std::wstring(name.data(), length), std::to_wstring(data[0]));
      }
    }
  } catch (...) {
    return Report(ERROR_NOT_ENOUGH_MEMORY);
  }
  return !values.empty();
}

bool Reg::EnumSubKeys(std::vector<std::wstring>& names) {
  if (!open_) return Report(ERROR_INVALID_HANDLE);
  DWORD count = 0, longest = 0;
  if (!Report(::RegQueryInfoKeyW(key_, nullptr, nullptr, nullptr, &count, &longest, nullptr,
                                 nullptr, nullptr, nullptr, nullptr, nullptr)))
    return !names.empty();
  if (longest > kMaxNameChars) longest = kMaxNameChars;
  try {
    std::vector<wchar_t> name(static_cast<size_t>(longest) + 1);
    for (DWORD i = 0; i < count; ++i) {
      DWORD length = longest + 1;
      if (::RegEnumKeyExW(key_, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS)
        continue;
      if (length > longest) length = longest;
      names.emplace_back(name.data(), length);
    }
  } catch (...) {
    return Report(ERROR_NOT_ENOUGH_MEMORY);
  }
  return !names.empty();
}

uint32_t ReadRegDWORD(const wchar_t* path, const wchar_t* name, uint32_t fallback) {
  Reg reg;
  uint32_t value = fallback;
  if (reg.Open(HKEY_LOCAL_MACHINE, path, KEY_READ)) {
    reg.QueryDWORD(name, value);
    reg.Close();
  }
  return value;
}

std::wstring ReadRegString(const wchar_t* path, const wchar_t* name) {
  try {
    Reg reg;
    std::wstring value;
    if (reg.Open(HKEY_LOCAL_MACHINE, path, KEY_READ)) {
      reg.QueryString(name, value);
      reg.Close();
    }
    return value;
  } catch (...) {
    return std::wstring();
  }
}
