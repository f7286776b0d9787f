// The system's JSON reader: resource files and the exclusion lists of a
// request packet. Stateless; any thread; never throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

class JsonHelper {
 public:
  // Adds the string members of the file's root object to `map` (replacing
  // values of keys already there); member names are lower-cased (A-Z only)
  // when `lowerCaseKeys` is set. A UTF-8 byte-order mark is skipped;
  // members whose value is not a string are skipped. False, with one ERROR
  // line and `map` unchanged, when the file cannot be opened or read, does
  // not parse, or its root is not an object.
  static bool Load(const std::wstring& path, std::map<std::wstring, std::wstring>& map,
                   bool lowerCaseKeys);

  // The strings of a JSON array as keys. Empty, with one ERROR message, when
  // the text does not parse; other elements, and a root that is not an
  // array, are ignored.
  static std::map<std::wstring, bool> GetMapFromList(const std::wstring& text);

  // The message GetMapFromList logs for a parse error.
  static std::wstring ListParseErrorMessage(const std::wstring& text, uint32_t code, size_t offset);
};
