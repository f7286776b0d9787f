// The product's folders and language. Install folder, logs folder and
// language are cached for the life of the process (an empty value is
// derived again); the others are derived on every call.
#pragma once

#include <string>

std::wstring GetAntiVirusInstallPath();
std::wstring GetProductLanguage();
std::wstring GetDataRootPath();          // <common app data>\QuillfeatherZub
std::wstring GetLogsPath();              // data root\Logs
std::wstring GetStoredDataPath();        // data root\StoredData
std::wstring GetStoredDataLogsPath();    // StoredData\Logs
std::wstring GetStoredDataTempPath();    // StoredData\TEMP
void FillProductPathCache();             // by Start
void ClearProductPathCache();            // tests: forget the cached values
