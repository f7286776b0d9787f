// Reads a packet's JSON text back, checking its shape, for tests that look
// at what was sent.
#pragma once

#include <map>
#include <string>

#include <rapidjson/document.h>
#include <rapidjson/encodings.h>

namespace testing_support {

struct ParsedPacket {
  bool valid = false;  // valid JSON of exactly the packet's shape
  std::wstring type, subtype, channelid;
  std::map<std::wstring, std::wstring> values;
  bool Has(const std::wstring& key) const { return values.count(key) != 0; }
  std::wstring Get(const std::wstring& key) const {
    auto it = values.find(key);
    return it == values.end() ? std::wstring(L"<absent>") : it->second;
  }
};

inline ParsedPacket ParsePacket(const std::wstring& text) {
  using Doc = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>>;
  ParsedPacket out;
  Doc doc;
  doc.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(text.c_str());
  if (doc.HasParseError() || !doc.IsObject() || doc.MemberCount() != 4) return out;
  auto str = [](const Doc::ValueType& v) {
    return std::wstring(v.GetString(), v.GetStringLength());
  };
  const wchar_t* names[3] = {L"type", L"subtype", L"channelid"};
  std::wstring* fields[3] = {&out.type, &out.subtype, &out.channelid};
  for (int i = 0; i < 3; ++i) {
    auto it = doc.FindMember(names[i]);
    if (it == doc.MemberEnd() || !it->value.IsString()) return out;
    *fields[i] = str(it->value);
  }
  auto list = doc.FindMember(L"keyvallist");
  if (list == doc.MemberEnd() || !list->value.IsArray()) return out;
  for (const auto& entry : list->value.GetArray()) {
    if (!entry.IsObject() || entry.MemberCount() != 2) return out;
    auto key = entry.FindMember(L"key");
    auto value = entry.FindMember(L"value");
    if (key == entry.MemberEnd() || value == entry.MemberEnd() || !key->value.IsString() ||
        !value->value.IsString())
      return out;
    out.values[str(key->value)] = str(value->value);
  }
  out.valid = true;
  return out;
}

}  // namespace testing_support
