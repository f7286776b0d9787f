#include "packets/json.h"

#include <rapidjson/allocators.h>
#include <rapidjson/encodings.h>
#include <rapidjson/writer.h>

#include <emmintrin.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <new>

#include "common/ex_common.h"
#include "common/log.h"

namespace {

constexpr size_t kDecodeError = static_cast<size_t>(-1);

// The writer's output: UTF-8 bytes in a stack buffer that moves to the heap
// when the text outgrows it. As with RapidJSON's own string buffer, the
// writer reserves room before each string and then writes unchecked; a
// growth that fails throws std::bad_alloc out of the writer.
class Utf8Sink {
 public:
  typedef char Ch;

  Utf8Sink(char* initial, size_t capacity) : begin_(initial), cur_(initial), end_(initial + capacity) {}
  Utf8Sink(const Utf8Sink&) = delete;
  Utf8Sink& operator=(const Utf8Sink&) = delete;

  void Put(char c) {
    if (RAPIDJSON_UNLIKELY(cur_ == end_)) Grow(1);
    *cur_++ = c;
  }
  void PutUnchecked(char c) { *cur_++ = c; }
  void Reserve(size_t count) {
    if (RAPIDJSON_UNLIKELY(static_cast<size_t>(end_ - cur_) < count)) Grow(count);
  }
  void Flush() {}

  const char* data() const { return begin_; }
  size_t size() const { return static_cast<size_t>(cur_ - begin_); }

 private:
  void Grow(size_t count) {
    const size_t used = size();
    size_t capacity = static_cast<size_t>(end_ - begin_);
    const size_t max = std::numeric_limits<size_t>::max() / 4;
    if (count > max || used > max) throw std::bad_alloc();
    while (capacity - used < count) capacity *= 2;
    std::unique_ptr<char[]> bigger(new char[capacity]);
    std::memcpy(bigger.get(), begin_, used);
    heap_ = std::move(bigger);
    begin_ = heap_.get();
    cur_ = begin_ + used;
    end_ = begin_ + capacity;
  }

  char* begin_;
  char* cur_;
  char* end_;
  std::unique_ptr<char[]> heap_;
};

// Found by argument-dependent lookup from the writer and the encoders.
inline void PutReserve(Utf8Sink& sink, size_t count) { sink.Reserve(count); }
inline void PutUnsafe(Utf8Sink& sink, char c) { sink.PutUnchecked(c); }

using PacketWriter = rapidjson::Writer<Utf8Sink, rapidjson::UTF16<wchar_t>, rapidjson::UTF8<char>,
                                       rapidjson::MemoryPoolAllocator<>>;

inline bool IsSurrogate(wchar_t c) { return (static_cast<uint16_t>(c) & 0xF800u) == 0xD800u; }
inline bool IsHighSurrogate(wchar_t c) { return (static_cast<uint16_t>(c) & 0xFC00u) == 0xD800u; }
inline bool IsLowSurrogate(wchar_t c) { return (static_cast<uint16_t>(c) & 0xFC00u) == 0xDC00u; }

// Branch-free over blocks so that the common case (no surrogate) stays cheap.
bool HasSurrogate(const wchar_t* text, size_t size) {
  size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    unsigned any = 0;
    for (size_t j = 0; j < 32; ++j) any |= IsSurrogate(text[i + j]);
    if (any) return true;
  }
  unsigned any = 0;
  for (; i < size; ++i) any |= IsSurrogate(text[i]);
  return any != 0;
}

// The writer must only see well-formed UTF-16: given a lone surrogate it
// ends the string after its opening quote (the document is then not JSON),
// and given a high surrogate as the last unit it reads past the string. So
// every unpaired surrogate is written as U+FFFD, which keeps the text valid
// JSON and the string's length unchanged. Well-formed strings, the usual
// case, are passed through without a copy.
const wchar_t* WellFormed(const std::wstring& text, std::wstring& scratch) {
  const wchar_t* data = text.data();
  const size_t size = text.size();
  if (!HasSurrogate(data, size)) return data;
  bool paired = true;
  for (size_t i = 0; i < size && paired; ++i) {
    if (!IsSurrogate(data[i])) continue;
    if (IsHighSurrogate(data[i]) && i + 1 < size && IsLowSurrogate(data[i + 1]))
      ++i;
    else
      paired = false;
  }
  if (paired) return data;
  scratch.assign(text);
  for (size_t i = 0; i < size; ++i) {
    if (!IsSurrogate(scratch[i])) continue;
    if (IsHighSurrogate(scratch[i]) && i + 1 < size && IsLowSurrogate(scratch[i + 1]))
      ++i;
    else
      scratch[i] = 0xFFFD;
  }
  return scratch.data();
}

// The writer reserves 2 + 6 * length bytes in its 32-bit length type; past
// this length that sum wraps and the reservation would be too small.
constexpr size_t kMaxStringUnits = (std::numeric_limits<rapidjson::SizeType>::max() - 2) / 6;

// Writes one string; false when it is too long for the writer's length type
// (an empty string keeps the document balanced; the caller drops it).
bool WriteString(PacketWriter& writer, const std::wstring& text, std::wstring& scratch) {
  if (text.size() > kMaxStringUnits) {
    writer.String(L"", 0);
    return false;
  }
  writer.String(WellFormed(text, scratch), static_cast<rapidjson::SizeType>(text.size()));
  return true;
}

template <size_t N>
void WriteName(PacketWriter& writer, const wchar_t (&name)[N]) {
  writer.Key(name, static_cast<rapidjson::SizeType>(N - 1));
}

// Decoded into a buffer of its own, then copied into the result: sizing a
// std::wstring first would fill it with the runtime's slow wmemset.
std::wstring Utf8BytesToUtf16(const char* text, size_t size) {
  wchar_t small[4096];
  std::unique_ptr<wchar_t[]> large;
  wchar_t* out = small;
  if (size > sizeof small / sizeof small[0]) {
    large.reset(new wchar_t[size]);
    out = large.get();
  }
  size_t units = json_internal::DecodeUtf8(text, size, out);
  if (units == kDecodeError) {
    std::string input(text, size);
    if (LogEnabled(LOG_ERROR)) LogStreamA(LOG_ERROR) << "Utf8ToUtf16 Error: " << input;
    return ExCommon::AnsiToWide(input);
  }
  return std::wstring(out, units);
}

}  // namespace

namespace json_internal {

size_t DecodeUtf8(const char* text, size_t size, wchar_t* out) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  const unsigned char* const end = p + size;
  wchar_t* o = out;
  const __m128i zero = _mm_setzero_si128();
  while (p < end) {
    // ASCII runs, the bulk of every packet, 16 bytes at a time (SSE2 is
    // part of x86-64).
    while (end - p >= 16) {
      __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      if (_mm_movemask_epi8(bytes) | _mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero))) break;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(bytes, zero));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8), _mm_unpackhi_epi8(bytes, zero));
      p += 16;
      o += 16;
    }
    if (p == end) break;
    const unsigned c = *p;
    const size_t left = static_cast<size_t>(end - p);
    if (c == 0) {
      break;
    } else if (c < 0x80) {
      *o++ = static_cast<wchar_t>(c);
      ++p;
    } else if (c < 0xC2) {
      return kDecodeError;  // continuation byte or overlong two-byte form
    } else if (c < 0xE0) {
      if (left < 2 || (p[1] & 0xC0) != 0x80) return kDecodeError;
      *o++ = static_cast<wchar_t>(((c & 0x1F) << 6) | (p[1] & 0x3F));
      p += 2;
    } else if (c < 0xF0) {
      if (left < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80) return kDecodeError;
      unsigned cp = ((c & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
      if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) return kDecodeError;
      *o++ = static_cast<wchar_t>(cp);
      p += 3;
    } else if (c < 0xF5) {
      if (left < 4 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80)
        return kDecodeError;
      unsigned cp = ((c & 0x07) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
      if (cp < 0x10000 || cp > 0x10FFFF) return kDecodeError;
      cp -= 0x10000;
      *o++ = static_cast<wchar_t>(0xD800 | (cp >> 10));
      *o++ = static_cast<wchar_t>(0xDC00 | (cp & 0x3FF));
      p += 4;
    } else {
      return kDecodeError;
    }
  }
  return static_cast<size_t>(o - out);
}

}  // namespace json_internal

std::wstring Utf8ToUtf16(const std::string& text) {
  try {
    return Utf8BytesToUtf16(text.data(), text.size());
  } catch (const std::exception&) {
    return std::wstring();
  }
}

std::wstring GetJDocument(const GenericPacketW& packet) {
  try {
    char first[4096];  // most packets fit; larger ones move to the heap
    Utf8Sink sink(first, sizeof first);
    // The writer's nesting stack (three levels here) lives on the stack too.
    alignas(16) char levels[512];
    rapidjson::MemoryPoolAllocator<> level_pool(levels, sizeof levels);
    PacketWriter writer(sink, &level_pool, 4);
    std::wstring scratch;
    bool ok = true;

    writer.StartObject();
    WriteName(writer, L"type");
    ok &= WriteString(writer, packet.type, scratch);
    WriteName(writer, L"subtype");
    ok &= WriteString(writer, packet.subtype, scratch);
    WriteName(writer, L"channelid");
    ok &= WriteString(writer, packet.channelid, scratch);
    WriteName(writer, L"keyvallist");
    writer.StartArray();
    for (const auto& entry : packet.keyvallist) {
      if (!ok) break;
      writer.StartObject();
      WriteName(writer, L"key");
      ok &= WriteString(writer, entry.first, scratch);
      WriteName(writer, L"value");
      ok &= WriteString(writer, entry.second, scratch);
      writer.EndObject();
    }
    writer.EndArray();
    writer.EndObject();

    if (!ok || !writer.IsComplete()) return std::wstring();
    return Utf8BytesToUtf16(sink.data(), sink.size());
  } catch (const std::exception&) {
    return std::wstring();
  }
}
