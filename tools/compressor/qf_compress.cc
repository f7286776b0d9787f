// QfCompress.exe -compressfile SOURCE DESTINATION
//
// Writes DESTINATION as a gzip file of SOURCE. SOURCE is removed only after
// DESTINATION is complete and closed; on any failure the partial destination
// is removed and SOURCE stays. An existing DESTINATION is never overwritten.
// Exit codes: 0 done, 1 usage, 2 source unreadable, 3 destination not
// creatable, 4 read/compress/write failure, 5 source could not be removed.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include <zlib.h>

namespace {

// Archived log names may pass MAX_PATH; the extended form has no such limit.
std::wstring Extended(const wchar_t* given) {
  std::wstring path = given;
  if (path.size() < MAX_PATH) return path;
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') return L"\\\\?\\" + path;
  if (path.compare(0, 2, L"\\\\") == 0 && path.compare(0, 4, L"\\\\?\\") != 0)
    return L"\\\\?\\UNC\\" + path.substr(2);
  return path;
}

bool WriteAll(HANDLE file, const unsigned char* data, size_t size) {
  while (size > 0) {
    DWORD chunk = size > (1u << 20) ? (1u << 20) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    size -= written;
  }
  return true;
}

bool Compress(HANDLE source, HANDLE destination) {
  z_stream zs{};
  // 15 window bits + 16: gzip wrapper instead of zlib's.
  if (deflateInit2(&zs, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return false;
  std::vector<unsigned char> in(1 << 16), out(1 << 16);
  bool ok = true;
  int flush = Z_NO_FLUSH;
  while (ok && flush != Z_FINISH) {
    DWORD got = 0;
    if (!::ReadFile(source, in.data(), static_cast<DWORD>(in.size()), &got, nullptr)) {
      ok = false;
      break;
    }
    flush = got == 0 ? Z_FINISH : Z_NO_FLUSH;
    zs.next_in = in.data();
    zs.avail_in = got;
    do {
      zs.next_out = out.data();
      zs.avail_out = static_cast<uInt>(out.size());
      int result = deflate(&zs, flush);
      if (result == Z_STREAM_ERROR) {
        ok = false;
        break;
      }
      if (!WriteAll(destination, out.data(), out.size() - zs.avail_out)) ok = false;
    } while (ok && zs.avail_out == 0);
  }
  deflateEnd(&zs);
  return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 4 || std::wcscmp(argv[1], L"-compressfile") != 0) {
    std::fprintf(stderr, "usage: QfCompress.exe -compressfile SOURCE DESTINATION\n");
    return 1;
  }
  std::wstring source_name = Extended(argv[2]);
  std::wstring destination_name = Extended(argv[3]);
  const wchar_t* source_path = source_name.c_str();
  const wchar_t* destination_path = destination_name.c_str();
  // Writers are shut out while the copy is made, so nothing is lost by the removal.
  HANDLE source = ::CreateFileW(source_path, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (source == INVALID_HANDLE_VALUE) return 2;
  HANDLE destination = ::CreateFileW(destination_path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
  if (destination == INVALID_HANDLE_VALUE) {
    ::CloseHandle(source);
    return 3;
  }
  bool ok = Compress(source, destination);
  ok = ::FlushFileBuffers(destination) && ok;
  ok = ::CloseHandle(destination) && ok;
  ::CloseHandle(source);
  if (!ok) {
    ::DeleteFileW(destination_path);
    return 4;
  }
  return ::DeleteFileW(source_path) ? 0 : 5;
}
