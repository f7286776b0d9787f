// The server's reading of a region copy, fed valid regions with random
// damage: headers and record fields set to extreme values, random bytes
// overwritten, records cut short. The copy ends at a no-access page.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "faults/fault_figures.h"
#include "ipc/smipczub.h"
#include "support/guarded_region.h"

using namespace queue_layout;
using testing_support::GuardedRegion;

namespace {

constexpr uint64_t kExtremes[] = {0,
                                  1,
                                  15,
                                  16,
                                  84,
                                  85,
                                  0x7FFFFFFF,
                                  0xFFFFFFFF,
                                  uint64_t{1} << 32,
                                  std::numeric_limits<uint64_t>::max() / 2,
                                  std::numeric_limits<uint64_t>::max() - 84,
                                  std::numeric_limits<uint64_t>::max() - 1,
                                  std::numeric_limits<uint64_t>::max()};

// Fills `region` with records as a writer would; returns their offsets.
std::vector<uint64_t> FillValid(std::mt19937_64& rng, uint8_t* region, uint64_t size) {
  std::vector<uint64_t> offsets;
  uint64_t used = kHeaderSize;
  for (int n = static_cast<int>(rng() % 6); n > 0; --n) {
    uint64_t payload = 1 + rng() % 200;
    if (!RecordFits(used, payload, size)) break;
    ItemHeader item = MakeItemHeader(L"rec" + std::to_wstring(rng() % 1000), payload);
    std::memcpy(region + used, &item, sizeof item);
    for (uint64_t i = 0; i < payload; ++i) region[used + kItemHeaderSize + i] = static_cast<uint8_t>(rng());
    offsets.push_back(used);
    used += kItemHeaderSize + payload;
  }
  WriteHeader(region, QueueHeader{offsets.size(), used});
  return offsets;
}

void Put64(uint8_t* at, uint64_t value) { std::memcpy(at, &value, sizeof value); }

}  // namespace

TEST(RegionFuzz, DamagedRegionsAreReadInBoundsOrRefusedWhole) {
  const uint64_t seed = testing_support::FaultSeed();
  SCOPED_TRACE(testing_support::SeedNote(seed));
  std::mt19937_64 rng(seed);
  constexpr int kRounds = 1000000;
  GuardedRegion regions[] = {GuardedRegion(kMinRegionSize), GuardedRegion(101), GuardedRegion(512),
                             GuardedRegion(4096)};
  uint64_t accepted = 0, refused = 0, bad = 0;
  for (int round = 0; round < kRounds && bad == 0; ++round) {
    GuardedRegion& region = regions[rng() % 4];
    const uint64_t size = region.size();
    uint8_t* r = region.data();
    std::memset(r, 0x5A, size);
    std::vector<uint64_t> offsets = FillValid(rng, r, size);
    for (int k = static_cast<int>(1 + rng() % 3); k > 0; --k) {
      switch (rng() % 5) {
        case 0: Put64(r, kExtremes[rng() % 13]); break;                    // itemCount
        case 1: Put64(r + 8, kExtremes[rng() % 13]); break;                // usedBytes
        case 2:
          if (!offsets.empty()) Put64(r + offsets[rng() % offsets.size()] + offsetof(ItemHeader, size),
                                     kExtremes[rng() % 13]);
          break;                                                            // a record's size
        case 3:
          if (!offsets.empty()) r[offsets[rng() % offsets.size()] + rng() % 4] ^= 0xFF;
          break;                                                            // a record's flag
        default: r[rng() % size] = static_cast<uint8_t>(rng()); break;     // any byte
      }
    }
    std::vector<const ItemHeader*> items;
    ParseResult result = ParseRecords(r, size, items);
    if (result != ParseResult::kOk) {
      ++refused;
      if (!items.empty()) ++bad;
      continue;
    }
    ++accepted;
    const QueueHeader header = ReadHeader(r);
    if (items.size() != header.itemCount) ++bad;
    for (const ItemHeader* item : items) {
      const uint8_t* at = reinterpret_cast<const uint8_t*>(item);
      uint64_t item_size;
      std::memcpy(&item_size, at + offsetof(ItemHeader, size), sizeof item_size);
      const uint64_t offset = static_cast<uint64_t>(at - r);
      if (offset < kHeaderSize || item_size == 0 || offset + kItemHeaderSize + item_size > header.usedBytes)
        ++bad;
      // Reading the name and the text touches every byte of the record.
      ItemName(*item);
      ItemText(item);
    }
  }
  EXPECT_EQ(bad, 0u) << "a damaged region was read past its records or half-accepted";
  testing_support::ReportFaultFigures(
      "damaged region copies read by the server (extreme counts and sizes, flipped flags, random "
      "bytes; copy ends at a no-access page)",
      accepted + refused, "regions",
      std::to_string(refused) + " refused whole, " + std::to_string(accepted) +
          " read within bounds, none read past their end");
}
