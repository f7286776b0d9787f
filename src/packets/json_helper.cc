#include "packets/json_helper.h"

#include <rapidjson/document.h>
#include <rapidjson/encodings.h>
#include <rapidjson/filereadstream.h>

#include <windows.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <sstream>

#include "common/ex_common.h"
#include "common/log.h"

namespace {

constexpr uint32_t kUtf8CodePage = 65001;

struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
struct ContentFree {
  void operator()(char* buffer) const { ExCommon::FreeFileContent(buffer); }
};

std::wstring Utf8Text(const rapidjson::Value& value) {
  return ExCommon::CodePageToWide(std::string(value.GetString(), value.GetStringLength()),
                                  kUtf8CodePage);
}

}  // namespace

bool JsonHelper::Load(const std::wstring& path, std::map<std::wstring, std::wstring>& map,
                      bool lowerCaseKeys) {
  try {
    Log(LOG_ALW, L"JsonHelper Load - File %s", path.c_str());
    FILE* raw = nullptr;
    errno_t error = ::_wfopen_s(&raw, path.c_str(), L"rb, ccs=utf-8");
    std::unique_ptr<FILE, FileCloser> file(raw);
    if (error != 0 || !file) {
      Log(LOG_ERROR, L"JsonHelper Load - failed to open file %s. Error=%d", path.c_str(),
          static_cast<int>(error));
      return false;
    }
    size_t size = 0;
    std::unique_ptr<char, ContentFree> content(ExCommon::AllocateFileContent(path, size));
    if (!content) {
      Log(LOG_ERROR, L"JsonHelper Load - Failed to allocate.");
      return false;
    }
    // The stream needs a window of at least four bytes; the window only
    // bounds each read, so a file that grew since it was sized is read whole.
    char tiny[4];
    char* window = size + 1 >= sizeof tiny ? content.get() : tiny;
    rapidjson::FileReadStream stream(file.get(), window, size + 1 >= sizeof tiny ? size + 1 : sizeof tiny);
    // Some runtimes skip the byte-order mark in this open mode, others do not.
    const char* head = stream.Peek4();
    if (head && static_cast<unsigned char>(head[0]) == 0xEF &&
        static_cast<unsigned char>(head[1]) == 0xBB && static_cast<unsigned char>(head[2]) == 0xBF) {
      stream.Take();
      stream.Take();
      stream.Take();
    }

    rapidjson::Document document;
    document.ParseStream<rapidjson::kParseIterativeFlag>(stream);
    if (document.HasParseError()) {
      Log(LOG_ERROR, L"JsonHelper Load- - failed to parse the file %s", path.c_str());
      return false;
    }
    if (!document.IsObject()) {
      Log(LOG_ERROR, L"JsonHelper Load - root of %s is not an object", path.c_str());
      return false;
    }
    std::map<std::wstring, std::wstring> loaded;
    for (auto member = document.MemberBegin(); member != document.MemberEnd(); ++member) {
      if (!member->name.IsString() || !member->value.IsString()) continue;
      std::wstring key = Utf8Text(member->name);
      if (lowerCaseKeys) key = ExCommon::ToLower(std::move(key));
      loaded[std::move(key)] = Utf8Text(member->value);
    }
    // Merged only now, so that a failure above leaves the caller's map as it was.
    for (auto& entry : loaded) map[entry.first] = std::move(entry.second);
    Log(LOG_ALW, L"JsonHelper Load - Loading File %s Succeeded.", path.c_str());
    return true;
  } catch (const std::exception& e) {
    DWORD last_error = ::GetLastError();
    std::wstring what;
    try {
      what = ExCommon::AnsiToWide(e.what());
    } catch (const std::exception&) {
    }
    Log(LOG_ERROR, L"JsonHelper Load - file:%s, exception caught: %s (GLE = %d)", path.c_str(),
        what.c_str(), static_cast<int>(last_error));
    return false;
  }
}

std::wstring JsonHelper::ListParseErrorMessage(const std::wstring& text, uint32_t code, size_t offset) {
  wchar_t hex[17];
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  uint64_t value = code;
  for (int i = 15; i >= 0; --i, value >>= 4) hex[i] = kDigits[value & 0xF];
  hex[16] = L'\0';
  std::wostringstream message;
  message << L"JsonHelper::GetMapFromList - Json has parse errros:" << text << L"\r\nError:"
          << hex << L"\r\nOffSet:" << offset;
  return message.str();
}

std::map<std::wstring, bool> JsonHelper::GetMapFromList(const std::wstring& text) {
  std::map<std::wstring, bool> result;
  try {
    using WDocument = rapidjson::GenericDocument<rapidjson::UTF16<wchar_t>>;
    WDocument document;
    document.Parse<rapidjson::kParseIterativeFlag>(text.c_str());
    if (document.HasParseError()) {
      if (LogEnabled(LOG_ERROR))
        LogStream(LOG_ERROR) << ListParseErrorMessage(text, document.GetParseError(),
                                                      document.GetErrorOffset());
      return result;
    }
    if (!document.IsArray()) return result;
    for (const auto& element : document.GetArray()) {
      if (element.IsString()) result[std::wstring(element.GetString())] = true;
    }
  } catch (const std::exception&) {
    result.clear();
  }
  return result;
}
