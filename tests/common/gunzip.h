// Decompresses a whole gzip file in memory, for checking the compressor's output.
#pragma once

#include <zlib.h>

#include <string>

inline bool Gunzip(const std::string& gz, std::string& out) {
  z_stream zs{};
  if (inflateInit2(&zs, 15 + 16) != Z_OK) return false;
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gz.data()));
  zs.avail_in = static_cast<uInt>(gz.size());
  char chunk[65536];
  int result = Z_OK;
  while (result == Z_OK) {
    zs.next_out = reinterpret_cast<Bytef*>(chunk);
    zs.avail_out = sizeof chunk;
    result = inflate(&zs, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - zs.avail_out);
  }
  inflateEnd(&zs);
  return result == Z_STREAM_END && zs.avail_in == 0;
}
