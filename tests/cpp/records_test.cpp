// Record arrays: glyph lists kept as rows of integers must read and render
// exactly as the same arrays of ordinary objects.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "document/document.h"
#include "json/writer.h"
#include "base/result.h"
#include "json/value.h"

namespace {

using tesvo::Value;

std::string render(const Value &v) { return std::string(tesvo::render_json(v).view()); }

constexpr std::string_view kKeys[] = {"ax", "ay", "cl", "dx", "flags", "g"};
constexpr std::size_t kKeyCount = std::size(kKeys);
// Keys that need escaping, in byte order: '\t' < '"' < 'a' < 'b'.
constexpr std::string_view kOddKeys[] = {"\t", "a\"b", "long key, out of line", "z"};

using Row = std::vector<std::int64_t>;

Value cell(std::int64_t n) { return Value::integer(n); }

Value records_of(std::span<const std::string_view> keys, const std::vector<Row> &rows) {
  Value list = Value::records(keys);
  for (const Row &row : rows) {
    std::vector<Value> cells;
    for (std::int64_t n : row) cells.push_back(cell(n));
    list.add_record(cells);
  }
  return list;
}

Value objects_of(std::span<const std::string_view> keys, const std::vector<Row> &rows) {
  Value list = Value::array();
  for (const Row &row : rows) {
    Value record = Value::object();
    for (std::size_t k = 0; k < keys.size(); ++k) record.insert(keys[k], cell(row[k]));
    list.push(std::move(record));
  }
  return list;
}

std::vector<Row> sample_rows(std::size_t count) {
  std::vector<Row> rows;
  for (std::size_t i = 0; i < count; ++i)
    rows.push_back({static_cast<std::int64_t>(i * 37 % 1200), 0, static_cast<std::int64_t>(i),
                    i % 5 == 0 ? -static_cast<std::int64_t>(i % 300) : 0, 0, static_cast<std::int64_t>(i % 65536)});
  return rows;
}

// The same list at depth 0, inside an object and inside an array of objects.
std::vector<std::string> renderings(Value list) {
  std::vector<std::string> out{render(list)};
  Value inner = Value::object();
  inner.insert("glyphs", list.clone());
  out.push_back(render(inner));
  Value outer = Value::array();
  outer.push(std::move(inner));
  Value top = Value::object();
  top.insert("stages", std::move(outer));
  top.insert("final", std::move(list));
  out.push_back(render(top));
  return out;
}

TEST(RecordArrays, RenderExactlyAsArraysOfObjects) {
  const std::vector<Row> rows = sample_rows(50);
  EXPECT_EQ(renderings(records_of(kKeys, rows)), renderings(objects_of(kKeys, rows)));

  const std::vector<Row> extremes = {{std::numeric_limits<std::int64_t>::min(), -1, 0, 1},
                                     {std::numeric_limits<std::int64_t>::max(), 7, -7, 0}};
  EXPECT_EQ(renderings(records_of(kOddKeys, extremes)), renderings(objects_of(kOddKeys, extremes)));
}

// Records after the first are written from the layout of their zero cells
// (up to eight keys) or piece by piece (more): every pattern of zero cells,
// with negative cells among the others, must render as objects do.
TEST(RecordArrays, EveryPatternOfZeroCellsRendersAsObjects) {
  constexpr std::string_view eight[] = {"a", "b", "c", "d", "e", "f", "g", "h"};
  constexpr std::string_view nine[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i"};
  for (std::span<const std::string_view> keys : {std::span<const std::string_view>(eight), std::span<const std::string_view>(nine)}) {
    std::vector<Row> rows;
    for (std::int64_t mask = 0; mask < 512; ++mask) {
      Row row;
      for (std::int64_t k = 0; k < static_cast<std::int64_t>(keys.size()); ++k)
        row.push_back((mask >> k & 1) != 0 ? 0 : k % 2 != 0 ? -(mask + k) : mask * 131 + k);
      rows.push_back(row);
    }
    EXPECT_EQ(renderings(records_of(keys, rows)), renderings(objects_of(keys, rows))) << keys.size();
  }
}

// Numbers are written digit pair by digit pair up to four digits and by the
// general routine past them: every length and sign must come out as it would
// for an ordinary integer value.
TEST(RecordArrays, NumbersOfEveryLengthRenderAsIntegerValues) {
  std::vector<Row> rows;
  for (std::int64_t n : {0LL, 9LL, 10LL, 99LL, 100LL, 999LL, 1000LL, 9999LL, 10000LL, 99999LL, 123456789012LL})
    rows.push_back({n, -n, n == 0 ? -1 : -(n + 1), n + 1});
  rows.push_back({std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
                  std::numeric_limits<std::int64_t>::min() + 1, -10000});
  constexpr std::string_view keys[] = {"a", "b", "c", "d"};
  EXPECT_EQ(renderings(records_of(keys, rows)), renderings(objects_of(keys, rows)));

  Value list = Value::records(std::span(keys, 1));
  const Value top[] = {Value::uinteger(std::numeric_limits<std::uint64_t>::max())};
  list.add_record(top);
  EXPECT_EQ(render(list), "[\n  {\n    \"a\": 18446744073709551615\n  }\n]");
}

// add_records adds a batch with one growth and must equal adding the same
// records one by one, also across the size where blocks become mappings.
TEST(RecordArrays, BatchesEqualRecordsAddedOneByOne) {
  const std::vector<Row> rows = sample_rows(120000);
  Value one_by_one = Value::records(kKeys);
  for (const Row &row : rows) one_by_one.add_record(row);
  Value batched = Value::records(kKeys, 3);
  batched.add_records(10, kKeyCount, [&](std::size_t i, std::int64_t *cells) {
    std::copy(rows[i].begin(), rows[i].end(), cells);
  });
  batched.add_records(rows.size() - 10, kKeyCount, [&](std::size_t i, std::int64_t *cells) {
    std::copy(rows[10 + i].begin(), rows[10 + i].end(), cells);
  });
  EXPECT_EQ(batched.size(), rows.size());
  EXPECT_EQ(render(batched), render(one_by_one));

  // A batch whose filling fails adds nothing; the wrong number of keys is refused.
  EXPECT_THROW(batched.add_records(5, kKeyCount,
                                   [](std::size_t i, std::int64_t *cells) {
                                     if (i == 3) throw tesvo::EnginePanic("fill failed");
                                     std::fill(cells, cells + kKeyCount, 1);
                                   }),
               tesvo::EnginePanic);
  EXPECT_THROW(batched.add_records(1, kKeyCount - 1, [](std::size_t, std::int64_t *) {}), tesvo::EnginePanic);
  EXPECT_EQ(batched.size(), rows.size());
  EXPECT_EQ(render(batched), render(one_by_one));
}

TEST(RecordArrays, EmptyListsAndKeylessRecords) {
  EXPECT_EQ(render(Value::records(kKeys)), "[]");
  Value keyless = Value::records({});
  keyless.add_record(std::span<const Value>());
  keyless.add_record(std::span<const std::int64_t>());
  EXPECT_EQ(render(keyless), "[\n  {},\n  {}\n]");
}

TEST(RecordArrays, IntegerCellsAreSignedOnlyWhenNegative) {
  const std::vector<Row> rows = sample_rows(30);
  Value list = Value::records(kKeys);
  for (const Row &row : rows) list.add_record(row);
  const std::int64_t short_row[] = {1};
  EXPECT_THROW(list.add_record(short_row), tesvo::EnginePanic);
  EXPECT_EQ(render(list), render(objects_of(kKeys, rows)));
  EXPECT_EQ(list.at(5).find("dx")->kind(), Value::Kind::Int);
  EXPECT_EQ(list.at(6).find("dx")->kind(), Value::Kind::UInt);
}

TEST(RecordArrays, UnsignedValuesAboveTheSignedRangeStayUnsigned) {
  constexpr std::string_view keys[] = {"u"};
  Value list = Value::records(keys);
  const Value cells[] = {Value::uinteger(std::numeric_limits<std::uint64_t>::max())};
  list.add_record(cells);
  EXPECT_EQ(render(list), "[\n  {\n    \"u\": 18446744073709551615\n  }\n]");
  EXPECT_EQ(list.at(0).find("u")->kind(), Value::Kind::UInt);
  EXPECT_EQ(list.at(0).find("u")->as_uint(), std::numeric_limits<std::uint64_t>::max());
}

TEST(RecordArrays, ReadingAnElementGivesOrdinaryObjectsWithTheSameText) {
  const std::vector<Row> rows = sample_rows(20);
  Value list = records_of(kKeys, rows);
  const std::string before = render(list);
  EXPECT_EQ(list.size(), rows.size());
  EXPECT_TRUE(list.record_rows().has_value()) << "size() reads the rows as they are";

  const Value &fifth = list.at(5);
  EXPECT_FALSE(list.record_rows().has_value());
  ASSERT_EQ(fifth.kind(), Value::Kind::Object);
  ASSERT_EQ(fifth.size(), kKeyCount);
  for (std::size_t k = 0; k < kKeyCount; ++k) EXPECT_EQ(fifth.key_at(k), kKeys[k]);
  EXPECT_EQ(fifth.find("cl")->as_uint(), 5U);
  EXPECT_EQ(fifth.find("dx")->kind(), Value::Kind::Int);
  EXPECT_EQ(fifth.find("dx")->as_int(), -5);
  EXPECT_EQ(list.at(6).find("dx")->kind(), Value::Kind::UInt);
  EXPECT_EQ(render(list), before);

  list.at(0).insert("zz", Value::boolean(true));  // an ordinary array from now on
  list.push(Value::string("more"));
  EXPECT_NE(render(list).find("\"zz\": true"), std::string::npos);
  EXPECT_EQ(list.size(), rows.size() + 1);
}

TEST(RecordArrays, ClonesAreIndependent) {
  Value list = records_of(kKeys, sample_rows(10));
  const std::string before = render(list);
  Value copy = list.clone();
  list.at(3).insert("g", Value::uinteger(99));
  { Value gone = std::move(list); }
  EXPECT_EQ(render(copy), before);
  EXPECT_TRUE(copy.record_rows().has_value());
}

TEST(RecordArrays, AppendJoinsRowsAndOrdinaryArraysAlike) {
  const std::vector<Row> first = sample_rows(7), second = sample_rows(300);
  std::vector<Row> both = first;
  both.insert(both.end(), second.begin(), second.end());
  const std::string expected = render(objects_of(kKeys, both));

  Value rows = records_of(kKeys, first);
  rows.append(records_of(kKeys, second));
  EXPECT_TRUE(rows.record_rows().has_value());
  EXPECT_EQ(render(rows), expected);
  // A range of it is its own record array of those rows.
  EXPECT_EQ(render(rows.record_range(first.size(), second.size())), render(objects_of(kKeys, second)));
  EXPECT_EQ(render(rows.record_range(both.size(), 0)), "[]");
  // A view reads them where they are, and keeps them when its array grows,
  // becomes objects or goes; its clone, and the view once added to, hold rows
  // of their own. Under ASan a row read after it was freed, or left unfreed, fails.
  Value clone, last;
  {
    Value source = records_of(kKeys, both);
    Value view = source.record_view(first.size(), second.size());
    Value of_view = view.record_view(1, 2);
    last = source.record_view(0, first.size());
    EXPECT_EQ(render(source.record_view(0, 0)), "[]");
    EXPECT_EQ(render(view), render(objects_of(kKeys, second)));
    EXPECT_EQ(render(of_view), render(objects_of(kKeys, {second[1], second[2]})));
    clone = view.clone();
    source.append(records_of(kKeys, second));  // grows: a copy, the viewed rows left
    EXPECT_EQ(render(source.at(0)), render(objects_of(kKeys, {first[0]}).at(0)));  // now objects
    view.append(records_of(kKeys, first));
    std::vector<Row> second_first = second;
    second_first.insert(second_first.end(), first.begin(), first.end());
    EXPECT_EQ(render(view), render(objects_of(kKeys, second_first)));
    EXPECT_EQ(render(of_view), render(objects_of(kKeys, {second[1], second[2]})));
  }
  EXPECT_EQ(render(clone), render(objects_of(kKeys, second)));
  EXPECT_EQ(render(last), render(objects_of(kKeys, first)));

  Value mixed = records_of(kKeys, first);
  mixed.append(objects_of(kKeys, second));
  EXPECT_EQ(render(mixed), expected);

  Value ordinary = objects_of(kKeys, first);
  ordinary.append(records_of(kKeys, second));
  EXPECT_EQ(render(ordinary), expected);

  Value other_keys = records_of(kKeys, first);
  other_keys.append(records_of(kOddKeys, {{1, 2, 3, 4}}));
  EXPECT_EQ(other_keys.size(), first.size() + 1);
  EXPECT_EQ(other_keys.at(first.size()).find("z")->as_uint(), 4U);
}

TEST(RecordArrays, MisuseIsAnEnginePanic) {
  constexpr std::string_view unordered[] = {"b", "a"};
  EXPECT_THROW(Value::records(unordered), tesvo::EnginePanic);
  Value list = Value::records(kKeys);
  const Value short_row[] = {cell(1)};
  EXPECT_THROW(list.add_record(short_row), tesvo::EnginePanic);
  std::vector<Value> with_text;
  for (std::size_t k = 0; k < kKeyCount; ++k) with_text.push_back(k == 2 ? Value::string("x") : cell(0));
  EXPECT_THROW(list.add_record(with_text), tesvo::EnginePanic);
  Value number = Value::uinteger(1);
  EXPECT_THROW(number.append(Value::records(kKeys)), tesvo::EnginePanic);
  EXPECT_THROW((void)list.record_range(0, 1), tesvo::EnginePanic);
  EXPECT_THROW((void)list.record_view(0, 1), tesvo::EnginePanic);
  EXPECT_THROW((void)objects_of(kKeys, sample_rows(2)).record_range(0, 1), tesvo::EnginePanic);
  EXPECT_EQ(list.size(), 0U);
}

// Lists of some hundred thousand records, as a long text makes: their blocks
// and the text are memory mappings of their own past a few megabytes.
TEST(RecordArrays, LongListsGrowCloneAndRenderWhole) {
  const std::vector<Row> rows = sample_rows(150000);
  Value list = Value::records(kKeys);
  for (std::size_t start = 0; start < rows.size(); start += 1000)
    list.append(records_of(kKeys, std::vector<Row>(rows.begin() + static_cast<long>(start),
                                                   rows.begin() + static_cast<long>(start + 1000))));
  Value copy = list.clone();
  const std::string text = render(list);
  EXPECT_EQ(text, render(objects_of(kKeys, rows)));
  EXPECT_EQ(render(copy), text);
  EXPECT_GT(text.size(), std::size_t{8} << 20);
}

TEST(GlyphLists, ItemAndStageGlyphsAreRecordArrays) {
  const tesvo::GlyphRecord records[] = {{5, 0, 0, 0, 500}, {6, 1, -3, 2, 600}};
  Value glyphs = tesvo::item_glyphs(records, true, 10);
  ASSERT_TRUE(glyphs.record_rows().has_value());
  const std::string text = render(glyphs);
  EXPECT_EQ(text,
            "[\n  {\n    \"ax\": 600,\n    \"ay\": 0,\n    \"cl\": 11,\n    \"dx\": -3,\n    \"dy\": 2,\n"
            "    \"flags\": 0,\n    \"g\": 6\n  },\n  {\n    \"ax\": 500,\n    \"ay\": 0,\n    \"cl\": 10,\n"
            "    \"dx\": 0,\n    \"dy\": 0,\n    \"flags\": 0,\n    \"g\": 5\n  }\n]");
  EXPECT_EQ(glyphs.at(0).find("dx")->as_int(), -3);
  EXPECT_EQ(render(glyphs), text);
}

}  // namespace
