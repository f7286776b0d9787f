// Small stateless helpers shared by every component. Safe from any thread;
// failures are reported by the result (and a log line where noted).
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ExCommon {

// Session and process.
uint32_t GeCurrentSessionId();  // 0xFFFFFFFF on failure, with a log line
std::wstring GetModulePath(HMODULE module = nullptr);
std::wstring GetFileVersionString(const std::wstring& path);
bool IsWindowsVersionOrGreater(uint16_t major, uint16_t minor, uint16_t service_pack_major);

// Files and folders.
// Returns a zeroed buffer of file size + 1 bytes (content not read), or null.
char* AllocateFileContent(const std::wstring& path, size_t& size);
void FreeFileContent(char* buffer);
std::wstring AddTrailingBackslash(const std::wstring& path, bool keep_colon = false);
std::wstring RemoveTrailingBackslash(const std::wstring& path);
std::wstring NormalizeFolderPath(const std::wstring& path, bool trailing_backslash);
bool FolderExists(const std::wstring& path);
bool FileExists(const std::wstring& path);
bool CreateFolderTree(const std::wstring& path);
bool CopyFileOver(const std::wstring& source, const std::wstring& destination);
std::wstring GetTempFolder();
std::wstring GetEnvironmentValue(const wchar_t* name);

// Text. Case folding is A-Z only.
bool EqualsIgnoreCase(const std::wstring& a, const std::wstring& b);
std::wstring ToLower(std::wstring text);
void ReplaceAll(std::wstring& text, const std::wstring& search, const std::wstring& replacement);
std::vector<std::wstring> Split(const std::wstring& text, const std::wstring& delimiter);
std::wstring NumberToText(int32_t number);
std::wstring NumberToText(uint32_t number);
std::wstring TextOrDefault(const wchar_t* text, const std::wstring& fallback);
std::wstring CreateGuidString();  // 36 characters, upper-case, no braces
std::string WideToAnsi(const std::wstring& text);
std::wstring AnsiToWide(const std::string& text);
std::wstring CodePageToWide(const std::string& text, uint32_t code_page);

// Settings.
bool IsNetworkScanEnabled();

}  // namespace ExCommon
