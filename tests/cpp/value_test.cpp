// The result value tree and its JSON text form, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "json/writer.h"
#include "json/value.h"

namespace {

using tesvo::Value;

std::string render(const Value &v) { return std::string(tesvo::render_json(v).view()); }

std::vector<std::string> keys_of(const Value &object) {
  std::vector<std::string> keys;
  for (std::size_t i = 0; i < object.size(); ++i) keys.emplace_back(object.key_at(i));
  return keys;
}

// ---- scalars ------------------------------------------------------------------

TEST(JsonScalars, RenderAsPlainLiterals) {
  struct Case {
    const char *what;
    Value (*make)();
    const char *text;
  };
  const Case cases[] = {
      {"null", [] { return Value(); }, "null"},
      {"true", [] { return Value::boolean(true); }, "true"},
      {"false", [] { return Value::boolean(false); }, "false"},
      {"zero", [] { return Value::uinteger(0); }, "0"},
      {"signed zero", [] { return Value::integer(0); }, "0"},
      {"largest unsigned", [] { return Value::uinteger(std::numeric_limits<std::uint64_t>::max()); },
       "18446744073709551615"},
      {"smallest signed", [] { return Value::integer(std::numeric_limits<std::int64_t>::min()); },
       "-9223372036854775808"},
      {"largest signed", [] { return Value::integer(std::numeric_limits<std::int64_t>::max()); },
       "9223372036854775807"},
      {"minus one", [] { return Value::integer(-1); }, "-1"},
      {"non-negative through integer()", [] { return Value::integer(500); }, "500"},
      {"ten, no leading zeros", [] { return Value::uinteger(10); }, "10"},
  };
  for (const Case &c : cases) EXPECT_EQ(render(c.make()), c.text) << c.what;
}

TEST(JsonStrings, EscapeOnlyQuotesBackslashesAndControlCharacters) {
  using namespace std::string_literals;
  struct Case {
    std::string in;
    std::string out;  // without the surrounding quotes
  };
  const Case cases[] = {
      {"", ""},
      {"\"", "\\\""},
      {"\\", "\\\\"},
      {"\b", "\\b"},
      {"\t", "\\t"},
      {"\n", "\\n"},
      {"\f", "\\f"},
      {"\r", "\\r"},
      {"\0"s, "\\u0000"},
      {"\x01", "\\u0001"},
      {"\x0b", "\\u000b"},
      {"\x1a", "\\u001a"},
      {"\x1f", "\\u001f"},
      {" ", " "},
      {"/", "/"},
      {"\x7f", "\x7f"},
      {"\xc3\xa9", "\xc3\xa9"},                  // é
      {"\xc2\x80", "\xc2\x80"},                  // U+0080, a C1 control
      {"\xe2\x80\xa8", "\xe2\x80\xa8"},          // U+2028
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},  // U+1F600
      {"a\0b"s, "a\\u0000b"},
      {"tab\there\nnext\x01\"q\"", "tab\\there\\nnext\\u0001\\\"q\\\""},
      {"\\u0041", "\\\\u0041"},
  };
  for (const Case &c : cases) EXPECT_EQ(render(Value::string(c.in)), "\"" + c.out + "\"") << c.in;
}

TEST(JsonStrings, LongRunOfEscapesIsWrittenWhole) {
  // Every byte becomes a six-byte escape, far past the writer's first buffer.
  std::string in(5000, '\x01');
  std::string expected = "\"";
  for (int i = 0; i < 5000; ++i) expected += "\\u0001";
  expected += "\"";
  EXPECT_EQ(render(Value::string(in)), expected);
}

// Strings are scanned eight bytes at a time: every byte value, at every
// position of a word and next to bytes of multi-byte UTF-8 sequences, must
// come out as a byte-by-byte escaper writes it.
TEST(JsonStrings, EveryByteAtEveryPositionEscapesAsOnItsOwn) {
  auto escaped = [](unsigned char c) -> std::string {
    switch (c) {
      case '"': return "\\\"";
      case '\\': return "\\\\";
      case '\b': return "\\b";
      case '\t': return "\\t";
      case '\n': return "\\n";
      case '\f': return "\\f";
      case '\r': return "\\r";
      default: break;
    }
    if (c >= 0x20) return std::string(1, static_cast<char>(c));
    char text[8];
    std::snprintf(text, sizeof text, "\\u%04x", c);
    return text;
  };
  const std::string fill = "\xd9\x85" "abcdefgh" "\xe2\x82\xac" "!";  // Arabic meem, Latin, euro sign
  for (int c = 0; c < 256; ++c) {
    for (std::size_t at = 0; at < 17; ++at) {
      std::string in = fill.substr(0, at % fill.size()) + fill;
      in.insert(at, 1, static_cast<char>(c));
      std::string expected = "\"";
      for (char b : in) expected += escaped(static_cast<unsigned char>(b));
      expected += "\"";
      ASSERT_EQ(render(Value::string(in)), expected) << "byte " << c << " at " << at;
    }
  }
}

// Texts past a few megabytes are written into a memory mapping of their own,
// which is kept for the next text once the text is released. Texts of growing
// and shrinking sizes, one after another and from several threads at once,
// must each come out whole.
std::string repeated_strings_json(std::size_t count, char c) {
  const std::string element = "  \"" + std::string(1000, c) + "\"";
  std::string text = "[\n";
  for (std::size_t i = 0; i < count; ++i) text += element + (i + 1 < count ? ",\n" : "\n");
  return text + "]";
}

Value repeated_strings(std::size_t count, char c) {
  Value list = Value::array(count);
  for (std::size_t i = 0; i < count; ++i) list.push(Value::string(std::string(1000, c)));
  return list;
}

TEST(JsonText, LongTextsOneAfterAnotherComeOutWhole) {
  const std::pair<std::size_t, char> sizes[] = {{40000, 'a'}, {6000, 'b'}, {90000, 'c'}, {20000, 'd'}, {3000, 'e'}};
  for (const auto &[count, c] : sizes) {
    tesvo::JsonText text = tesvo::render_json(repeated_strings(count, c));
    ASSERT_TRUE(text.view() == repeated_strings_json(count, c)) << count << " strings of " << c;
  }
}

TEST(JsonText, LongTextsFromSeveralThreadsComeOutWhole) {
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      const char c = static_cast<char>('k' + t);
      const std::size_t count = 5000 + 4000 * static_cast<std::size_t>(t);
      const std::string expected = repeated_strings_json(count, c);
      const Value list = repeated_strings(count, c);
      for (int round = 0; round < 6; ++round) {
        tesvo::JsonText text = tesvo::render_json(list);
        if (text.view() != expected) ++wrong;
      }
    });
  }
  for (std::thread &thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

// ---- containers ----------------------------------------------------------------

TEST(JsonContainers, EmptyOnesStayOnOneLineAtEveryDepth) {
  EXPECT_EQ(render(Value::object()), "{}");
  EXPECT_EQ(render(Value::array()), "[]");

  Value doc = Value::object();
  doc.insert("o", Value::object());
  doc.insert("a", Value::array());
  Value nested = Value::array();
  nested.push(Value::array());
  nested.push(Value::object());
  doc.insert("n", std::move(nested));
  EXPECT_EQ(render(doc),
            "{\n"
            "  \"a\": [],\n"
            "  \"n\": [\n"
            "    [],\n"
            "    {}\n"
            "  ],\n"
            "  \"o\": {}\n"
            "}");
}

TEST(JsonContainers, SevenLineExample) {
  Value doc = Value::object();
  Value b = Value::array();
  b.push(Value::integer(1));
  b.push(Value::integer(-2));
  doc.insert("b", std::move(b));
  doc.insert("a", Value::object());
  EXPECT_EQ(render(doc),
            "{\n"
            "  \"a\": {},\n"
            "  \"b\": [\n"
            "    1,\n"
            "    -2\n"
            "  ]\n"
            "}");
}

TEST(JsonContainers, OneEntryObjectIsThreeLinesWithoutTrailingNewline) {
  Value doc = Value::object();
  doc.insert("upem", Value::uinteger(1000));
  EXPECT_EQ(render(doc), "{\n  \"upem\": 1000\n}");
}

TEST(JsonContainers, IndentationGrowsByTwoSpacesPerLevel) {
  Value inner = Value::array();
  inner.push(Value::string("x"));
  Value middle = Value::object();
  middle.insert("k", std::move(inner));
  Value outer = Value::array();
  outer.push(std::move(middle));
  outer.push(Value());
  EXPECT_EQ(render(outer),
            "[\n"
            "  {\n"
            "    \"k\": [\n"
            "      \"x\"\n"
            "    ]\n"
            "  },\n"
            "  null\n"
            "]");
}

TEST(JsonContainers, KeysAreEscapedLikeStrings) {
  Value doc = Value::object();
  doc.insert("a\"b\n", Value::boolean(false));
  EXPECT_EQ(render(doc), "{\n  \"a\\\"b\\n\": false\n}");
}

// ---- object keys -----------------------------------------------------------------

TEST(ObjectKeys, ComeOutInByteOrderWhateverTheInsertionOrder) {
  std::array<std::string, 5> keys = {"b", "ab", "a", "_x", "B"};
  std::sort(keys.begin(), keys.end());
  const std::vector<std::string> expected = {"B", "_x", "a", "ab", "b"};
  do {
    Value doc = Value::object();
    for (std::size_t i = 0; i < keys.size(); ++i) doc.insert(keys[i], Value::uinteger(i));
    ASSERT_EQ(keys_of(doc), expected) << keys[0] << keys[1] << keys[2] << keys[3] << keys[4];
  } while (std::next_permutation(keys.begin(), keys.end()));

  Value doc = Value::object();
  for (const char *k : {"b", "ab", "a", "_x", "B"}) doc.insert(k, Value::object());
  EXPECT_EQ(render(doc),
            "{\n  \"B\": {},\n  \"_x\": {},\n  \"a\": {},\n  \"ab\": {},\n  \"b\": {}\n}");
}

TEST(ObjectKeys, CompareAsUnsignedBytes) {
  // Bytes above 0x7F sort after ASCII; a prefix sorts before its extensions.
  Value doc = Value::object();
  for (const char *k : {"\xc3\xa9", "z", "~", "\x7f", "", "zz", "\xff"}) doc.insert(k, Value());
  EXPECT_EQ(keys_of(doc), (std::vector<std::string>{"", "z", "zz", "~", "\x7f", "\xc3\xa9", "\xff"}));
}

TEST(ObjectKeys, ShortAndLongKeysKeepTheirBytesAndOrder) {
  // Keys of up to seven bytes and longer ones are stored differently; the
  // boundary must not change a key's bytes, its order or its lookup.
  using namespace std::string_literals;
  const std::vector<std::string> inserted = {
      "abcdefgh", "abcdefg", "abcdefgi", "abcdef", "b", "abcdefghijklmnopqrstuvwxyz0123456789", "a\0"s,
      "a",        "\0\0\0\0\0\0\0"s, "\xff\xff\xff\xff\xff\xff\xff", "\xff\xff\xff\xff\xff\xff\xff\xff"};
  Value doc = Value::object();
  for (std::size_t i = 0; i < inserted.size(); ++i) doc.insert(inserted[i], Value::uinteger(i));

  std::vector<std::string> sorted = inserted;
  std::sort(sorted.begin(), sorted.end());  // std::string compares bytes as unsigned
  EXPECT_EQ(keys_of(doc), sorted);
  for (std::size_t i = 0; i < inserted.size(); ++i) {
    const Value *found = doc.find(inserted[i]);
    ASSERT_NE(found, nullptr) << i;
    EXPECT_EQ(found->as_uint(), i) << i;
  }
  EXPECT_EQ(doc.find("abcdefgj"), nullptr);
  EXPECT_EQ(doc.find("abcdefghijklmnopqrstuvwxyz012345678"), nullptr);
}

TEST(ObjectInsert, ExistingKeyGetsTheNewValueInPlace) {
  Value doc = Value::object();
  doc.insert("b", Value::uinteger(2));
  doc.insert("a", Value::string("first"));
  doc.insert("a_long_key_here", Value::uinteger(1));
  doc.insert("a", Value::uinteger(3));
  doc.insert("a_long_key_here", Value::array());
  Value replaced = Value::object();
  replaced.insert("x", Value::boolean(true));
  doc.insert("b", std::move(replaced));

  ASSERT_EQ(doc.size(), 3u);
  EXPECT_EQ(render(doc),
            "{\n"
            "  \"a\": 3,\n"
            "  \"a_long_key_here\": [],\n"
            "  \"b\": {\n"
            "    \"x\": true\n"
            "  }\n"
            "}");
}

// ---- ownership -------------------------------------------------------------------

Value sample_tree() {
  Value doc = Value::object();
  Value list = Value::array();
  for (int i = 0; i < 6; ++i) {
    Value record = Value::object();
    record.insert("g", Value::uinteger(static_cast<std::uint64_t>(i)));
    record.insert("a key longer than seven bytes", Value::string("text " + std::to_string(i)));
    list.push(std::move(record));
  }
  doc.insert("list", std::move(list));
  doc.insert("s", Value::string("shared?"));
  doc.insert("n", Value::integer(-7));
  return doc;
}

TEST(ValueClone, ChangesToTheOriginalDoNotReachTheCopy) {
  Value original = sample_tree();
  const std::string before = render(original);
  Value copy = original.clone();

  original.insert("s", Value::string("changed"));
  original.insert("new", Value::uinteger(1));
  Value &list = const_cast<Value &>(*original.find("list"));
  list.push(Value::string("appended"));
  list.at(0).insert("g", Value::uinteger(99));
  { Value gone = std::move(original); }  // frees every block of the original

  EXPECT_EQ(render(copy), before);
}

// A tree built, changed, copied and freed while an arena is open comes out as
// on the heap; a value made before the arena is freed inside it. Under the
// address sanitizer, any arena block handed to free or read after the arena
// closed fails the test.
TEST(DocumentArena, TreesBuiltInItRenderAsOnTheHeap) {
  const auto build = [] {
    Value doc = sample_tree();
    Value &list = const_cast<Value &>(*doc.find("list"));
    for (int i = 0; i < 300; ++i) list.push(Value::string(std::string(40, 'a' + i % 26)));  // past the arena's blocks
    list.at(1).insert("a key longer than seven bytes", Value::string("replaced"));
    Value copy = doc.clone();
    doc.insert("copy", std::move(copy));
    return render(doc);
  };
  const std::string on_heap = build();
  Value before = sample_tree();
  {
    const tesvo::DocumentArena arena(tesvo::DocumentArena::kShortText);
    const tesvo::DocumentArena inner(tesvo::DocumentArena::kShortText);  // leaves the open one in use
    EXPECT_EQ(build(), on_heap);
    Value gone = std::move(before);
  }
  EXPECT_EQ(build(), on_heap);
}

// ---- growth ----------------------------------------------------------------------

TEST(ValueGrowth, LargeArrayKeepsEveryElementInOrder) {
  constexpr std::size_t kCount = 100000;
  Value list = Value::array();
  for (std::size_t i = 0; i < kCount; ++i) {
    if (i % 3 == 0) {
      Value record = Value::object();
      record.insert("cl", Value::uinteger(i));
      list.push(std::move(record));
    } else {
      list.push(Value::string(std::to_string(i)));
    }
  }
  ASSERT_EQ(list.size(), kCount);
  for (std::size_t i : {std::size_t{0}, std::size_t{1}, std::size_t{4}, std::size_t{5}, std::size_t{4096},
                        kCount - 2, kCount - 1}) {
    const Value &v = list.at(i);
    if (i % 3 == 0)
      EXPECT_EQ(v.find("cl")->as_uint(), i);
    else
      EXPECT_EQ(v.as_string(), std::to_string(i));
  }

  std::string expected = "[";
  for (std::size_t i = 0; i < kCount; ++i) {
    expected += i == 0 ? "\n  " : ",\n  ";
    if (i % 3 == 0)
      expected += "{\n    \"cl\": " + std::to_string(i) + "\n  }";
    else
      expected += "\"" + std::to_string(i) + "\"";
  }
  expected += "\n]";
  EXPECT_EQ(render(list), expected);
}

TEST(ValueGrowth, LargeObjectBuiltBackwardsStaysSorted) {
  constexpr int kCount = 5000;
  Value doc = Value::object();
  for (int i = kCount - 1; i >= 0; --i) {
    char key[16];
    std::snprintf(key, sizeof key, "key%05d", i);  // eight bytes: stored out of line
    doc.insert(key, Value::integer(-i));
  }
  ASSERT_EQ(doc.size(), static_cast<std::size_t>(kCount));
  for (int i = 0; i < kCount; ++i) {
    char key[16];
    std::snprintf(key, sizeof key, "key%05d", i);
    ASSERT_EQ(doc.key_at(static_cast<std::size_t>(i)), key);
    ASSERT_EQ(doc.value_at(static_cast<std::size_t>(i)).as_int(), -i);
  }
}

}  // namespace
