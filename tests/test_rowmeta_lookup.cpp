// The metadata store is keyed by id alone, so what an export reads for an id
// cannot depend on the base: an index with a base (whose ids are read through
// the id table and the copies by base row) must export exactly what an index
// without one (plain map lookups) exports after the same metadata writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core_test_support.h"
#include "zv_runtime.h"

namespace {

using namespace zvtest;

Base base_of(const std::vector<int64_t>& ids) {
  Base b;
  b.dim = 2;
  b.ids = ids;
  b.vectors = test_floats(static_cast<int64_t>(ids.size()) * 2, 3);
  b.add_partition(0, 0, static_cast<int32_t>(ids.size()));
  return b;
}

void set_meta(zv_index* index, const std::vector<int64_t>& ids, int32_t columns, int64_t salt) {
  std::vector<int64_t> primary, values;
  for (int64_t id : ids) {
    primary.push_back(id % 7 == 0 ? -1 : id * 3 + salt);
    for (int32_t j = 0; j < columns; ++j) values.push_back((id + j + salt) % 5 - 1);
  }
  ASSERT_EQ(zv_index_set_rowmeta(index, ids.data(), primary.data(), values.data(), columns,
                                 static_cast<int32_t>(ids.size())),
            0);
}

void expect_same_export(zv_index* got, zv_index* want, const std::vector<int64_t>& probe) {
  const int32_t n = static_cast<int32_t>(probe.size());
  const int32_t m = zv_index_export_rowmeta(want, probe.data(), 0, nullptr, nullptr);
  std::vector<int64_t> gp(n, 77), wp(n, 77), gc(size_t(n) * m + 1, 77), wc(size_t(n) * m + 1, 77);
  ASSERT_EQ(zv_index_export_rowmeta(got, probe.data(), n, gp.data(), gc.data()), m);
  ASSERT_EQ(zv_index_export_rowmeta(want, probe.data(), n, wp.data(), wc.data()), m);
  EXPECT_EQ(gp, wp);
  EXPECT_EQ(gc, wc);
  EXPECT_EQ(gc.back(), 77) << "written past n * m";
}

TEST(RowmetaLookup, ExportWithABaseEqualsExportWithout) {
  Index with_base(2), maps_only(2);
  std::vector<int64_t> probe;
  for (int64_t id = -3; id < 700; ++id) probe.push_back(id);
  probe.push_back(INT64_MIN);
  probe.push_back(INT64_MAX);
  probe.push_back(int64_t{1} << 39);

  // Metadata before any base, then a base with repeated ids and gaps.
  std::vector<int64_t> early;
  for (int64_t id = 0; id < 600; id += 3) early.push_back(id);
  for (zv_index* ix : {with_base.get(), maps_only.get()}) set_meta(ix, early, 1, 0);
  std::vector<int64_t> ids;
  for (int64_t id = 0; id < 500; id += 2) ids.push_back(id);
  for (int64_t id = 100; id < 140; id += 2) ids.push_back(id);  // repeated
  ASSERT_EQ(build(with_base, base_of(ids)), 0);
  expect_same_export(with_base, maps_only, probe);

  // Later writes, wider, over base ids, gaps and new ids, some to -1.
  std::vector<int64_t> later;
  for (int64_t id = 1; id < 650; id += 5) later.push_back(id);
  for (int64_t id = 100; id < 140; id += 4) later.push_back(id);
  later.push_back(later.front());  // twice in one call: the second wins
  for (zv_index* ix : {with_base.get(), maps_only.get()}) set_meta(ix, later, 3, 11);
  expect_same_export(with_base, maps_only, probe);

  // A smaller rebuild, a sparse one, and a dense one again.
  ASSERT_EQ(build(with_base, base_of({5, 6, 7, 8, 9, 6})), 0);
  expect_same_export(with_base, maps_only, probe);
  ASSERT_EQ(build(with_base, base_of({3, int64_t{1} << 39, 100, 3})), 0);
  expect_same_export(with_base, maps_only, probe);
  ASSERT_EQ(build(with_base, base_of(ids)), 0);
  for (zv_index* ix : {with_base.get(), maps_only.get()}) set_meta(ix, {0, 100, 101, 499}, 4, 5);
  expect_same_export(with_base, maps_only, probe);
}

}  // namespace
