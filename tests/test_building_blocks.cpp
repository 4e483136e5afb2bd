// The containers everything else is built on: IdMap (64-bit key -> 64-bit
// value, open addressing), GrowList (geometric growth) and OwnedArray
// (refilled in place).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "alloc.h"
#include "grow_list.h"
#include "id_map.h"
#include "owned_array.h"
#include "index_record.h"

namespace {

using zv::GrowList;
using zv::IdMap;

// Value stored for a key in the bulk tests: distinct from the key and from
// the other keys' values, so a slot mix-up cannot go unnoticed.
int64_t value_for(int64_t key) { return static_cast<int64_t>(static_cast<uint64_t>(key) * 3 + 7); }

void expect_absent(const IdMap& map, int64_t key) {
  EXPECT_EQ(map.find(key), nullptr) << "key " << key;
  EXPECT_FALSE(map.contains(key, IdMap::hash(key))) << "key " << key;
}

void expect_value(const IdMap& map, int64_t key, int64_t value) {
  const int64_t* v = map.find(key);
  ASSERT_NE(v, nullptr) << "key " << key;
  EXPECT_EQ(*v, value) << "key " << key;
}

// ---------------------------------------------------------------------------
// IdMap: lookup, assign, upsert

TEST(IdMap, EmptyMapFindsNothing) {
  IdMap map;
  EXPECT_EQ(map.size(), 0);
  for (int64_t key : {INT64_C(0), INT64_C(-1), INT64_MIN, INT64_MAX, INT64_C(42)}) expect_absent(map, key);
}

TEST(IdMap, AssignAndOverwriteEdgeKeys) {
  IdMap map;
  const int64_t keys[] = {INT64_MIN, INT64_C(-1), INT64_C(0), INT64_MAX, INT64_MIN + 1};
  for (int64_t key : keys) map.assign(key, value_for(key));
  EXPECT_EQ(map.size(), 5);
  for (int64_t key : keys) expect_value(map, key, value_for(key));

  // Overwrite every key: the count stays, the values change.
  for (int64_t key : keys) map.assign(key, IdMap::hash(key), -value_for(key));
  EXPECT_EQ(map.size(), 5);
  for (int64_t key : keys) expect_value(map, key, -value_for(key));
  expect_absent(map, 1);
  expect_absent(map, -2);
}

TEST(IdMap, AssignStoresEdgeValues) {
  IdMap map;
  map.assign(1, INT64_MIN);
  map.assign(2, -1);
  map.assign(INT64_MIN, INT64_MIN);
  expect_value(map, 1, INT64_MIN);
  expect_value(map, 2, -1);
  expect_value(map, INT64_MIN, INT64_MIN);
}

TEST(IdMap, UpsertInsertsOnceAndReturnsTheLiveSlot) {
  for (int64_t key : {INT64_C(0), INT64_C(-1), INT64_MIN, INT64_C(12345)}) {
    IdMap map;
    bool inserted = false;
    int64_t& first = map.upsert(key, IdMap::hash(key), 10, &inserted);
    EXPECT_TRUE(inserted);
    EXPECT_EQ(first, 10);
    first = 11;  // writing through the reference updates the stored value

    int64_t& again = map.upsert(key, IdMap::hash(key), 99, &inserted);
    EXPECT_FALSE(inserted);
    EXPECT_EQ(again, 11) << "an existing value must not be replaced by the initial one";
    EXPECT_EQ(map.size(), 1);

    int64_t* found = map.find(key, IdMap::hash(key));
    ASSERT_NE(found, nullptr);
    *found = 12;  // and so does writing through find()
    expect_value(map, key, 12);
  }
}

TEST(IdMap, ClearDropsEveryKeyAndTheMapStaysUsable) {
  IdMap map;
  for (int64_t key = -50; key < 50; ++key) map.assign(key, value_for(key));
  map.assign(INT64_MIN, 5);
  ASSERT_EQ(map.size(), 101);
  map.clear();
  EXPECT_EQ(map.size(), 0);
  for (int64_t key = -50; key < 50; ++key) expect_absent(map, key);
  expect_absent(map, INT64_MIN);

  map.assign(7, 8);
  EXPECT_EQ(map.size(), 1);
  expect_value(map, 7, 8);
  expect_absent(map, INT64_MIN);
}

TEST(IdMap, SwapExchangesContents) {
  IdMap a, b;
  a.assign(1, 10);
  a.assign(INT64_MIN, 20);
  b.assign(2, 30);
  a.swap(b);
  EXPECT_EQ(a.size(), 1);
  EXPECT_EQ(b.size(), 2);
  expect_value(a, 2, 30);
  expect_absent(a, 1);
  expect_absent(a, INT64_MIN);
  expect_value(b, 1, 10);
  expect_value(b, INT64_MIN, 20);
}

TEST(IdMap, ReserveKeepsExistingKeys) {
  IdMap map;
  for (int64_t key = 0; key < 20; ++key) map.assign(key, value_for(key));
  map.reserve(100000);
  for (int64_t key = 0; key < 20; ++key) expect_value(map, key, value_for(key));
  for (int64_t key = 20; key < 100000; ++key) map.assign(key, value_for(key));
  EXPECT_EQ(map.size(), 100000);
  for (int64_t key = 0; key < 100000; ++key) expect_value(map, key, value_for(key));
}

// ---------------------------------------------------------------------------
// IdMap: growth and key patterns that defeat weak hashes

struct KeyPattern {
  const char* name;
  std::vector<int64_t> keys;
};

std::vector<KeyPattern> adversarial_patterns(int64_t count) {
  std::vector<KeyPattern> out;
  auto strided = [count](const char* name, int64_t start, int64_t stride) {
    KeyPattern p{name, {}};
    for (int64_t i = 0; i < count; ++i) {
      p.keys.push_back(static_cast<int64_t>(static_cast<uint64_t>(start) + static_cast<uint64_t>(i) * static_cast<uint64_t>(stride)));
    }
    return p;
  };
  out.push_back(strided("sequential", 0, 1));
  out.push_back(strided("sequential negative", -count, 1));
  out.push_back(strided("multiples of 2^20", 0, INT64_C(1) << 20));
  out.push_back(strided("multiples of 2^32", 0, INT64_C(1) << 32));
  out.push_back(strided("multiples of 2^48", INT64_C(1) << 48, INT64_C(1) << 48));
  out.push_back(strided("stride 2^40 - 1", 3, (INT64_C(1) << 40) - 1));
  // Only the top bits vary (wraps through negative keys).
  out.push_back(strided("multiples of 2^52", 0, INT64_C(1) << 52));
  KeyPattern random{"random", {}};
  std::mt19937_64 rng(20240611);
  std::set<int64_t> seen;
  while (static_cast<int64_t>(random.keys.size()) < count) {
    const int64_t k = static_cast<int64_t>(rng());
    if (seen.insert(k).second) random.keys.push_back(k);
  }
  out.push_back(random);
  return out;
}

// A write batch may name one id throughout: the room it reserves ahead is
// bounded by the keys held, whatever the batch size, in either layout.
TEST(IdMap, BatchReservationIsBoundedByTheKeysHeld) {
  struct Case {
    int64_t held;       // keys 0 .. held-1 (dense) or their negatives (hashed)
    bool hashed;
    int64_t max_bytes;  // after reserving for a batch of 20 million, one key in
  };
  // Room for 20 million keys takes 160 MB dense and 512 MB hashed.
  for (const Case& c : {Case{0, false, 40 << 20}, Case{0, true, 40 << 20},
                        Case{100000, false, 40 << 20}, Case{100000, true, 40 << 20}}) {
    IdMap map;
    for (int64_t k = 0; k < c.held; ++k) map.assign(c.hashed ? -k - 1 : k, k);
    map.reserve_for_batch(20000000);
    map.assign(c.hashed ? -c.held - 1 : c.held, 1);
    EXPECT_LE(map.footprint_bytes(), c.max_bytes) << c.held << " " << c.hashed;
    EXPECT_EQ(map.size(), c.held + 1);
  }
}

TEST(IdMap, GrowthAcrossManyKeysOfEveryPattern) {
  constexpr int64_t kKeys = 40000;
  for (const KeyPattern& p : adversarial_patterns(kKeys)) {
    SCOPED_TRACE(p.name);
    // The 2^52 stride only has 4096 distinct values; keep the distinct ones.
    std::vector<int64_t> keys;
    std::set<int64_t> distinct;
    for (int64_t k : p.keys) {
      if (distinct.insert(k).second) keys.push_back(k);
    }
    IdMap map;
    for (int64_t k : keys) map.assign(k, value_for(k));
    ASSERT_EQ(map.size(), static_cast<int64_t>(keys.size()));
    for (int64_t k : keys) {
      const int64_t* v = map.find(k);
      ASSERT_NE(v, nullptr) << k;
      ASSERT_EQ(*v, value_for(k)) << k;
    }
    // Neighbours of stored keys are not found.
    int64_t absent_checked = 0;
    for (int64_t k : keys) {
      const int64_t probe = static_cast<int64_t>(static_cast<uint64_t>(k) + 0x5bd1e995ULL);
      if (distinct.count(probe)) continue;
      ASSERT_EQ(map.find(probe), nullptr) << probe;
      if (++absent_checked == 2000) break;
    }
  }
}

// A hash that ignores high bits (or passes keys through) sends strided ids to
// a handful of slots and turns lookups into long scans. Every pattern must
// spread over the low bits that pick a slot, about as well as random keys.
TEST(IdMap, HashSpreadsStridedKeysOverSlots) {
  constexpr int64_t kKeys = 4096;
  constexpr uint64_t kSlots = 8192;  // a table at half load
  for (const KeyPattern& p : adversarial_patterns(kKeys)) {
    SCOPED_TRACE(p.name);
    std::set<uint64_t> buckets;
    for (int64_t k : p.keys) buckets.insert(IdMap::hash(k) & (kSlots - 1));
    // Random placement occupies about 8192 * (1 - e^-0.5) = 3223 slots.
    EXPECT_GT(buckets.size(), 2900u);
  }
}

TEST(IdMap, HashDependsOnEveryKeyBit) {
  for (int bit = 0; bit < 64; ++bit) {
    const int64_t a = 0x123456789abcdefLL;
    const int64_t b = static_cast<int64_t>(static_cast<uint64_t>(a) ^ (UINT64_C(1) << bit));
    // The low 16 bits (those that choose a slot in a mid-sized table) change.
    EXPECT_NE(IdMap::hash(a) & 0xffff, IdMap::hash(b) & 0xffff) << "bit " << bit;
  }
}

// Ids a host crafts to share low hash bits under one seed spread out under
// another, and every index draws its own seed, so the crafting cannot be
// aimed at an index.
TEST(IdMap, SeedDefeatsIdsCraftedAgainstAnotherSeed) {
  constexpr uint64_t kLowBits = 4095;
  std::vector<int64_t> crafted;
  for (int64_t k = 0; crafted.size() < 1000; ++k) {
    if ((zv::IdMap::hash(k, 0) & kLowBits) == 0) crafted.push_back(k);
  }
  zv::IndexRecord a, b;
  EXPECT_NE(a.hash_seed, b.hash_seed);
  for (const zv::IndexRecord* rec : {&a, &b}) {
    std::set<uint64_t> buckets;
    for (int64_t k : crafted) buckets.insert(zv::id_hash(*rec, k) & kLowBits);
    EXPECT_GT(buckets.size(), 800u);
  }
  // The maps of a record hash with its seed, so they find what they store.
  ASSERT_EQ(a.writes.remove(a.base, crafted.data(), static_cast<int32_t>(crafted.size())), 1);
  for (int64_t k : crafted) EXPECT_EQ(a.writes.tombstone_of(k, zv::id_hash(a, k)), 1) << k;
}

// ---------------------------------------------------------------------------
// IdMap: the dense layout and the move to open addressing

TEST(IdMap, DenseKeysStayDenseInAnyOrderWhenReserved) {
  constexpr int64_t kCount = 5000;
  IdMap ascending, descending, strided;
  descending.reserve(kCount);
  for (int64_t i = 0; i < kCount; ++i) {
    ascending.assign(i, value_for(i));
    descending.assign(kCount - 1 - i, value_for(kCount - 1 - i));
    strided.assign(3 * i, value_for(3 * i));  // a third of the range used
  }
  for (const IdMap* map : {&ascending, &descending, &strided}) {
    EXPECT_TRUE(map->is_dense());
    EXPECT_EQ(map->size(), kCount);
  }
  for (int64_t i = 0; i < kCount; ++i) {
    expect_value(ascending, i, value_for(i));
    expect_value(descending, i, value_for(i));
    expect_value(strided, 3 * i, value_for(3 * i));
    expect_absent(strided, 3 * i + 1);
  }
  for (int64_t key : {kCount, 4 * kCount, INT64_C(1) << 40, INT64_C(-1), INT64_MAX}) {
    expect_absent(ascending, key);
  }
}

// A key that would stretch the dense array past its bound moves the map to
// hashing, with every key and value kept; without a bound a single id of
// 2^50 would ask for petabytes.
TEST(IdMap, FarOrNegativeKeyMovesEveryKeyToHashing) {
  for (int64_t far : {INT64_C(1) << 50, INT64_MAX, INT64_C(-1), INT64_C(-12345), INT64_C(100000)}) {
    IdMap map;
    for (int64_t i = 0; i < 1000; ++i) map.assign(i, value_for(i));
    ASSERT_TRUE(map.is_dense());
    bool inserted = false;
    map.upsert(far, IdMap::hash(far), 77, &inserted);
    EXPECT_TRUE(inserted);
    EXPECT_FALSE(map.is_dense()) << far;
    EXPECT_EQ(map.size(), 1001);
    for (int64_t i = 0; i < 1000; ++i) expect_value(map, i, value_for(i));
    expect_value(map, far, 77);
    // It stays hashed and keeps working; clear() brings the dense layout back.
    for (int64_t i = 1000; i < 3000; ++i) map.assign(i, value_for(i));
    EXPECT_FALSE(map.is_dense());
    for (int64_t i = 0; i < 3000; ++i) expect_value(map, i, value_for(i));
    map.clear();
    map.assign(5, 6);
    EXPECT_TRUE(map.is_dense());
    expect_value(map, 5, 6);
    expect_absent(map, far);
  }
}

// The out-of-line key lives beside either layout and survives the move.
TEST(IdMap, EmptyMarkerKeyLivesBesideTheDenseLayout) {
  IdMap map;
  map.assign(INT64_MIN, 1);
  map.assign(3, 4);
  EXPECT_TRUE(map.is_dense());
  expect_value(map, INT64_MIN, 1);
  map.assign(INT64_C(1) << 45, 9);
  EXPECT_FALSE(map.is_dense());
  EXPECT_EQ(map.size(), 3);
  expect_value(map, INT64_MIN, 1);
  expect_value(map, 3, 4);
  expect_value(map, INT64_C(1) << 45, 9);
}

// Random operations over keys from dense, negative and far ranges, with
// clears and swaps between layouts, against std::map.
TEST(IdMap, MatchesAModelAcrossLayoutChanges) {
  std::mt19937_64 rng(7);
  IdMap maps[2];
  std::map<int64_t, int64_t> models[2];
  auto key = [&]() -> int64_t {
    switch (rng() % 8) {
      case 0: return -static_cast<int64_t>(rng() % 100);
      case 1: return static_cast<int64_t>(rng());
      case 2: return static_cast<int64_t>(rng() % 100000);
      default: return static_cast<int64_t>(rng() % 2000);
    }
  };
  for (int step = 0; step < 200000; ++step) {
    const int m = static_cast<int>(rng() % 2);
    IdMap& map = maps[m];
    const int op = static_cast<int>(rng() % 1000);
    if (op == 0) {
      map.clear();
      models[m].clear();
    } else if (op == 1) {
      maps[0].swap(maps[1]);
      std::swap(models[0], models[1]);
    } else if (op < 20) {
      map.reserve(static_cast<int64_t>(rng() % 5000));
    } else if (op < 500) {
      const int64_t k = key();
      const int64_t v = static_cast<int64_t>(rng());
      bool inserted = false;
      int64_t& slot = map.upsert(k, IdMap::hash(k), v, &inserted);
      const auto [it, added] = models[m].try_emplace(k, v);
      ASSERT_EQ(inserted, added) << "key " << k;
      ASSERT_EQ(slot, it->second) << "key " << k;
      if (rng() % 2) slot = it->second = v ^ 1;
    } else {
      const int64_t k = key();
      const int64_t* found = map.find(k);
      const auto it = models[m].find(k);
      ASSERT_EQ(found != nullptr, it != models[m].end()) << "key " << k;
      if (found != nullptr) ASSERT_EQ(*found, it->second) << "key " << k;
    }
    ASSERT_EQ(map.size(), static_cast<int64_t>(models[m].size()));
  }
}

// ---------------------------------------------------------------------------
// GrowList

// Appends of n values (n < 0 is nothing) and the list they leave: contents in
// order, capacity from one by doubling to cover the size, no block while empty.
TEST(GrowList, AppendsKeepOrderAndCapacityDoublesFromOne) {
  struct Case {
    std::vector<int32_t> appends;
    int64_t capacity;
  };
  const Case cases[] = {
      {{}, 0},          {{0, -3}, 0},    {{1}, 1},          {{1, 1}, 2},
      {{1, 1, 1}, 4},   {{3}, 4},        {{3, 6}, 16},      {{1, 0, -2}, 1},
      {{16}, 16},       {{16, 1}, 32},   {std::vector<int32_t>(33, 1), 64},
  };
  for (const Case& c : cases) {
    GrowList<float> list;
    std::vector<float> want;
    for (int32_t n : c.appends) {
      std::vector<float> values;
      for (int32_t i = 0; i < n; ++i) values.push_back(static_cast<float>(want.size() + i) - 5.5f);
      if (n == 1) {
        list.push_back(values[0]);
      } else {
        list.append(n > 0 ? values.data() : nullptr, n);
      }
      want.insert(want.end(), values.begin(), values.end());
    }
    SCOPED_TRACE(testing::Message() << c.appends.size() << " appends, " << want.size() << " values");
    ASSERT_EQ(list.size(), static_cast<int64_t>(want.size()));
    EXPECT_EQ(list.capacity(), c.capacity);
    EXPECT_EQ(list.empty(), want.empty());
    if (c.capacity == 0) EXPECT_EQ(list.data(), nullptr);
    if (!want.empty()) EXPECT_EQ(std::vector<float>(list.data(), list.data() + list.size()), want);
  }
}

// Past a few MiB the list faults its fresh capacity in ahead of the writes
// and its block moves several times: nothing written may change.
TEST(GrowList, ElementsSurviveRelocation) {
  GrowList<int64_t> list;
  for (int64_t i = 0; i < 600000; ++i) list.push_back(value_for(i));
  EXPECT_EQ(list.capacity(), 1 << 20);
  for (int64_t i = 0; i < 600000; ++i) ASSERT_EQ(list[i], value_for(i));
  list.release();
  EXPECT_EQ(list.size(), 0);
  EXPECT_EQ(list.capacity(), 0);
  list.push_back(3);
  EXPECT_EQ(list.capacity(), 1);
  EXPECT_EQ(list[0], 3);

  GrowList<float> rows;
  std::vector<float> row(128);
  for (int64_t r = 0; r < 20000; ++r) {
    for (size_t j = 0; j < row.size(); ++j) row[j] = static_cast<float>(r * 128 + static_cast<int64_t>(j));
    rows.append(row.data(), 128);
  }
  for (int64_t i = 0; i < rows.size(); ++i) ASSERT_EQ(rows[i], static_cast<float>(i)) << i;
}

// Faulting pages in leaves their contents, and the bytes around them, alone.
TEST(Alloc, PrefaultKeepsContents) {
  const int64_t n = 3 << 20;  // 12 MiB: a block of its own mapping
  auto* block = zv::alloc_array<int32_t>(n);
  for (int64_t i = 0; i < n; i += 1000) block[i] = static_cast<int32_t>(i);
  zv::prefault_for_write(block + 17, static_cast<std::size_t>(n - 40) * sizeof(int32_t));
  for (int64_t i = 0; i < n; i += 1000) ASSERT_EQ(block[i], static_cast<int32_t>(i)) << i;
  zv::free_bytes(block);
}

// OwnedArray keeps its block for a refill that fits and is at least half
// of it, and takes a fresh, exactly sized block otherwise; the contents are
// always exactly the new ones.
TEST(OwnedArray, RefillKeepsTheBlockOnlyWhenItFits) {
  struct Case {
    int64_t first, second;
    bool kept;
  };
  for (const Case& c : {Case{100, 100, true}, Case{100, 50, true}, Case{100, 49, false},
                        Case{100, 101, false}, Case{100, 0, false}, Case{0, 10, false}}) {
    zv::OwnedArray<int64_t> a;
    std::vector<int64_t> src(static_cast<size_t>(std::max(c.first, c.second)) + 1);
    for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<int64_t>(i * 7 + 1);
    a.refill(src.data(), c.first);
    const int64_t* block = a.data();
    std::reverse(src.begin(), src.end());
    a.refill(src.data(), c.second);
    EXPECT_EQ(block != nullptr && a.data() == block, c.kept) << c.first << " -> " << c.second;
    EXPECT_EQ(a.size(), c.second);
    EXPECT_EQ(a.capacity(), c.kept ? c.first : c.second);
    EXPECT_EQ(std::vector<int64_t>(a.data(), a.data() + a.size()),
              std::vector<int64_t>(src.begin(), src.begin() + c.second));
  }
}

// A non-trivial element that counts its constructions (moves included) and
// destructions.
struct Counted {
  static inline int constructed = 0;
  static inline int destroyed = 0;
  int64_t payload = 17;
  Counted() { ++constructed; }
  Counted(Counted&& other) noexcept : payload(other.payload) { ++constructed; }
  ~Counted() { ++destroyed; }
};

TEST(GrowList, NonTrivialElementsMoveOnGrowthAndAreReleasedOnce) {
  Counted::constructed = Counted::destroyed = 0;
  {
    GrowList<Counted> list;
    for (int i = 0; i < 9; ++i) {
      Counted& c = list.emplace_back();
      EXPECT_EQ(c.payload, 17);
      c.payload = i;
      // Growth moves every element and destroys the moved-from one.
      EXPECT_EQ(Counted::constructed - Counted::destroyed, i + 1);
    }
    EXPECT_EQ(list.capacity(), 16);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(list[i].payload, i);
    list.release();
    EXPECT_EQ(Counted::constructed, Counted::destroyed);
    EXPECT_EQ(list.size(), 0);
    list.emplace_back();
    list.emplace_back();
  }
  // The destructor releases what is left.
  EXPECT_EQ(Counted::constructed, Counted::destroyed);
}

TEST(GrowList, MapsKeepTheirKeysAcrossGrowth) {
  GrowList<IdMap> maps;
  for (int m = 0; m < 20; ++m) {
    IdMap& map = maps.emplace_back();
    for (int64_t key = 0; key < 50; ++key) map.assign(key * 1000 + m, value_for(key) + m);
  }
  ASSERT_EQ(maps.size(), 20);
  for (int m = 0; m < 20; ++m) {
    EXPECT_EQ(maps[m].size(), 50);
    for (int64_t key = 0; key < 50; ++key) expect_value(maps[m], key * 1000 + m, value_for(key) + m);
    expect_absent(maps[m], m == 0 ? 1 : 0);
  }
  // Released with the list (a leak checker sees any map storage left over).
}

}  // namespace

TEST(Alloc, LargeBlocksStartAHugePageAndKeepTheirContents) {
  // Small blocks keep the common alignment; large ones start a 2 MiB page,
  // and a realloc of one keeps its contents.
  for (std::size_t bytes : {std::size_t{100}, (std::size_t{64} << 20) + 3}) {
    auto* p = static_cast<unsigned char*>(zv::alloc_bytes(bytes));
    const std::uintptr_t align = bytes > 1000 ? std::uintptr_t{2} << 20 : zv::kBlockAlign;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % align, 0u) << bytes;
    p[0] = 7;
    p[bytes - 1] = 9;
    p = static_cast<unsigned char*>(zv::resize_bytes(p, bytes + 4096));
    EXPECT_EQ(p[0], 7);
    EXPECT_EQ(p[bytes - 1], 9);
    zv::free_bytes(p);
  }
}
