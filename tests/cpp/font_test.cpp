// Font facts from fonts built byte by byte: units per em, glyph count, family
// name and their fallbacks, and reading the font file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "font_builder.h"
#include "font/font.h"
#include "font/font_reader.h"
#include "font/fvar.h"

namespace {

using namespace font_builder;
using namespace std::string_literals;

const std::string_view kTrueType("\0\1\0\0", 4);

tesvo::FontMetrics metrics(const Bytes &font) { return tesvo::read_font_metrics(font); }
std::optional<std::string> family(const Bytes &font) { return tesvo::sfnt_family(font); }

// A collection whose table directory sits at the end of the file, after the
// table data, so that its last table record can be cut short.
Bytes directory_at_end(const std::vector<std::pair<std::string, Bytes>> &tables, std::size_t cut = 0,
                       std::optional<std::uint16_t> num_tables = {}) {
  Bytes b;
  put_tag(b, 0, "ttcf");
  put32(b, 4, 0x00010000);
  put32(b, 8, 1);
  std::vector<std::uint32_t> offsets;
  b.resize(16);
  for (const auto &[tag, data] : tables) {
    offsets.push_back(static_cast<std::uint32_t>(b.size()));
    b.insert(b.end(), data.begin(), data.end());
    while (b.size() % 4 != 0) b.push_back(0);
  }
  const std::size_t directory = b.size();
  put32(b, 12, static_cast<std::uint32_t>(directory));
  put_tag(b, directory, kTrueType);
  put16(b, directory + 4, num_tables.value_or(static_cast<std::uint16_t>(tables.size())));
  b.resize(directory + 12);
  for (std::size_t i = 0; i < tables.size(); ++i) {
    std::size_t at = directory + 12 + 16 * i;
    put_tag(b, at, tables[i].first);
    put32(b, at + 8, offsets[i]);
    put32(b, at + 12, static_cast<std::uint32_t>(tables[i].second.size()));
  }
  b.resize(b.size() - cut);
  return b;
}

// ---- units per em and glyph count --------------------------------------------------

TEST(FontMetrics, ReadFromEveryAcceptedKindOfFont) {
  const std::vector<Table> tables = {{"head", head(1000)}, {"maxp", maxp(321)}};
  struct Case {
    const char *what;
    Bytes font;
  };
  const Case cases[] = {
      {"TrueType", truetype(tables)},
      {"OTTO", sfnt("OTTO", tables)},
      {"true", sfnt("true", tables)},
      {"typ1", sfnt("typ1", tables)},
      {"collection", collection(tables)},
      {"collection whose first font has an unknown tag", collection(tables, "wOFF")},
  };
  for (const Case &c : cases) {
    tesvo::FontMetrics m = metrics(c.font);
    EXPECT_EQ(m.upem, 1000u) << c.what;
    EXPECT_EQ(m.glyph_count, 321u) << c.what;
  }
}

TEST(FontMetrics, FallBackTo2048And0WithoutAUsableDirectory) {
  const std::vector<Table> tables = {{"head", head(1000)}, {"maxp", maxp(321)}};
  Bytes eleven = truetype(tables);
  eleven.resize(11);
  Bytes short_collection = collection(tables);
  short_collection.resize(15);
  Bytes far_collection = collection(tables);
  put32(far_collection, 12, 0xFFFFFFFF);
  Bytes past_end_collection = collection(tables);
  put32(past_end_collection, 12, static_cast<std::uint32_t>(past_end_collection.size() - 11));

  struct Case {
    const char *what;
    Bytes font;
  };
  const Case cases[] = {
      {"empty file", {}},
      {"11 bytes of a TrueType header", eleven},
      {"no tables", truetype({})},
      {"unknown header tag", sfnt("wOFF", tables)},
      {"version 2.0 header", sfnt(std::string_view("\0\2\0\0", 4), tables)},
      {"collection shorter than 16 bytes", short_collection},
      {"collection offset 0xFFFFFFFF", far_collection},
      {"collection offset plus 12 past the end", past_end_collection},
      {"other tables only", truetype({{"cmap", Bytes(40, 1)}, {"OS/2", Bytes(96, 2)}})},
  };
  for (const Case &c : cases) {
    tesvo::FontMetrics m = metrics(c.font);
    EXPECT_EQ(m.upem, 2048u) << c.what;
    EXPECT_EQ(m.glyph_count, 0u) << c.what;
  }
}

TEST(FontMetrics, EachTableFallsBackOnItsOwn) {
  struct Case {
    const char *what;
    Bytes font;
    std::uint32_t upem;
    std::uint32_t glyphs;
  };
  const Case cases[] = {
      {"head offset past the end", truetype({{"head", head(1000), 0xFFFFFFFF}, {"maxp", maxp(321)}}), 2048, 321},
      {"maxp offset past the end", truetype({{"head", head(1000)}, {"maxp", maxp(321), 0xFFFFFFFF}}), 1000, 0},
      {"lengths are not consulted",
       truetype({{"head", head(1000), {}, 0xFFFFFFFF}, {"maxp", maxp(321), {}, 0}}), 1000, 321},
      {"no head", truetype({{"maxp", maxp(321)}}), 2048, 321},
      {"no maxp", truetype({{"head", head(1000)}}), 1000, 0},
      {"head of 20 bytes ending the file", truetype({{"maxp", maxp(321)}, {"head", head(1000, 20)}}), 1000, 321},
      {"head of 19 bytes ending the file", truetype({{"maxp", maxp(321)}, {"head", head(1000, 19)}}), 2048, 321},
      {"maxp of 6 bytes ending the file", truetype({{"head", head(1000)}, {"maxp", maxp(321, 6)}}), 1000, 321},
      {"maxp of 5 bytes ending the file", truetype({{"head", head(1000)}, {"maxp", maxp(321, 5)}}), 1000, 0},
      {"two maxp: the later one", truetype({{"maxp", maxp(5)}, {"head", head(1000)}, {"maxp", maxp(7)}}), 1000, 7},
      {"two head: the later one", truetype({{"head", head(512)}, {"head", head(2000)}, {"maxp", maxp(1)}}), 2000, 1},
      {"later broken maxp still replaces",
       truetype({{"maxp", maxp(5)}, {"head", head(1000)}, {"maxp", maxp(7), 0xFFFFFFF0}}), 1000, 0},
      {"zero read as zero", truetype({{"head", head(0)}, {"maxp", maxp(0)}}), 0, 0},
      {"largest 16-bit values", truetype({{"head", head(0xFFFF)}, {"maxp", maxp(0xFFFF)}}), 0xFFFF, 0xFFFF},
  };
  for (const Case &c : cases) {
    tesvo::FontMetrics m = metrics(c.font);
    EXPECT_EQ(m.upem, c.upem) << c.what;
    EXPECT_EQ(m.glyph_count, c.glyphs) << c.what;
  }
}

TEST(FontMetrics, WalkStopsAtTheFirstRecordCutShortByTheEndOfFile) {
  // The third record (a second 'maxp') lacks its last byte: it must not count.
  Bytes font = directory_at_end({{"head", head(1000)}, {"maxp", maxp(321)}, {"maxp", maxp(999)}}, 1);
  tesvo::FontMetrics m = metrics(font);
  EXPECT_EQ(m.upem, 1000u);
  EXPECT_EQ(m.glyph_count, 321u);

  Bytes whole = directory_at_end({{"head", head(1000)}, {"maxp", maxp(321)}, {"maxp", maxp(999)}});
  EXPECT_EQ(metrics(whole).glyph_count, 999u);
}

TEST(FontMetrics, HugeTableCountInAShortFileKeepsWhatWasFound) {
  Bytes font = directory_at_end({{"head", head(1000)}, {"maxp", maxp(321)}}, 0, 65535);
  tesvo::FontMetrics m = metrics(font);
  EXPECT_EQ(m.upem, 1000u);
  EXPECT_EQ(m.glyph_count, 321u);

  Bytes plain = truetype({{"head", head(1000)}, {"maxp", maxp(321)}});
  put16(plain, 4, 65535);
  m = metrics(plain);
  EXPECT_EQ(m.upem, 1000u);
  EXPECT_EQ(m.glyph_count, 321u);
}

// ---- family name ---------------------------------------------------------------------

Bytes font_with_names(const std::vector<NameRecord> &records) { return truetype({{"name", name(records)}}); }

NameRecord record(std::uint16_t platform, std::uint16_t encoding, std::uint16_t name_id, std::u16string_view text) {
  NameRecord r = windows_name(name_id, text);
  r.platform = platform;
  r.encoding = encoding;
  return r;
}

TEST(SfntFamily, ChoosesTheFirstWindowsFamilyThenTheFirstTypographicFamily) {
  NameRecord german = windows_name(1, u"Deutsch");
  german.language = 0x0407;
  struct Case {
    const char *what;
    std::vector<NameRecord> records;
    std::optional<std::string> family;
  };
  const Case cases[] = {
      {"family", {windows_name(1, u"Foo")}, "Foo"},
      {"encoding 10", {record(3, 10, 1, u"Ten")}, "Ten"},
      {"symbol encoding is not a candidate", {record(3, 0, 1, u"Sym")}, std::nullopt},
      {"Macintosh only", {record(1, 0, 1, u"Mac"), record(1, 0, 16, u"Mac16")}, std::nullopt},
      {"Unicode platform only", {record(0, 3, 1, u"Uni")}, std::nullopt},
      {"other name ids only", {windows_name(2, u"Regular"), windows_name(4, u"Foo Regular")}, std::nullopt},
      {"typographic then family", {windows_name(16, u"Typo"), windows_name(1, u"Fam")}, "Fam"},
      {"family then typographic", {windows_name(1, u"Fam"), windows_name(16, u"Typo")}, "Fam"},
      {"typographic only", {windows_name(16, u"Typo")}, "Typo"},
      {"first typographic", {windows_name(16, u"A"), windows_name(16, u"B")}, "A"},
      {"family after two typographic", {windows_name(16, u"A"), windows_name(16, u"B"), windows_name(1, u"C")}, "C"},
      {"first family", {windows_name(1, u"A"), windows_name(1, u"B")}, "A"},
      {"Macintosh before Windows", {record(1, 0, 1, u"Mac"), windows_name(16, u"Win")}, "Win"},
      {"language is not looked at", {german, windows_name(1, u"English")}, "Deutsch"},
      {"non-ASCII", {windows_name(1, u"\u00e9t\u00e9 \u4e2d")}, "\xc3\xa9t\xc3\xa9 \xe4\xb8\xad"},
      {"surrogate pair", {windows_name(1, u"A\U0001F600B")}, "A\xef\xbf\xbd\xef\xbf\xbd" "B"},
      {"lone surrogate", {windows_name(1, std::u16string(1, u'\xdc00'))}, "\xef\xbf\xbd"},
  };
  for (const Case &c : cases) EXPECT_EQ(family(font_with_names(c.records)), c.family) << c.what;
}

TEST(SfntFamily, UnusableStringsArePassedOver) {
  NameRecord odd = windows_name(1, u"ABC");
  odd.length = 5;
  NameRecord empty = windows_name(1, u"");
  NameRecord one = windows_name(1, u"X");
  one.length = 1;
  NameRecord far = windows_name(1, u"Far");
  far.offset = 0xFFF0;
  NameRecord last_byte_missing = windows_name(1, u"Cut");
  last_byte_missing.length = 8;  // 2 bytes more than stored; the file ends first
  struct Case {
    const char *what;
    std::vector<NameRecord> records;
    std::optional<std::string> family;
  };
  const Case cases[] = {
      {"odd length: trailing byte ignored", {odd}, "AB"},
      {"length 0 skipped", {empty, windows_name(1, u"Next")}, "Next"},
      {"length 1 skipped", {one, windows_name(16, u"Next")}, "Next"},
      {"string past the end of the file skipped", {far, windows_name(1, u"Next")}, "Next"},
      {"string running past the end of the file skipped", {windows_name(16, u"Typo"), last_byte_missing}, "Typo"},
  };
  for (const Case &c : cases) EXPECT_EQ(family(font_with_names(c.records)), c.family) << c.what;
}

TEST(SfntFamily, NameRecordsAreBoundedByTheTableButStringsOnlyByTheFile) {
  // Table length covering header and one record: the strings lie outside it.
  Bytes names = name({windows_name(1, u"Outside")});
  EXPECT_EQ(family(truetype({{"name", names, {}, 18}})), "Outside");

  // The second record lies past the table's length and is not seen.
  Bytes two = name({record(1, 0, 1, u"Mac"), windows_name(1, u"Win")});
  EXPECT_EQ(family(truetype({{"name", two, {}, 18}})), std::nullopt);
  EXPECT_EQ(family(truetype({{"name", two, {}, 30}})), "Win");
  EXPECT_EQ(family(truetype({{"name", two, {}, 29}})), std::nullopt);

  // A table length beyond the file is bounded by the file.
  EXPECT_EQ(family(truetype({{"name", two, {}, 0xFFFFFFFF}})), "Win");

  // A count larger than the records present stops at the table's end.
  EXPECT_EQ(family(truetype({{"name", name({windows_name(1, u"Foo")}, 50)}})), "Foo");
}

TEST(SfntFamily, NoFamilyFromBrokenOrMissingNameTables) {
  Bytes tail = name({windows_name(1, u"Foo")});
  tail.resize(5);
  Bytes two_name_tables =
      truetype({{"name", name({record(1, 0, 1, u"Mac")})}, {"name", name({windows_name(1, u"Win")})}});
  struct Case {
    const char *what;
    Bytes font;
  };
  const Case cases[] = {
      {"empty file", {}},
      {"no name table", truetype({{"head", head(1000)}})},
      {"count 0", truetype({{"name", name({windows_name(1, u"Foo")}, 0)}})},
      {"table offset 0xFFFFFFFF", truetype({{"name", name({windows_name(1, u"Foo")}), 0xFFFFFFFF}})},
      {"table of 5 bytes ending the file", truetype({{"name", tail}})},
      {"typ1 fonts have no family", sfnt("typ1", {{"name", name({windows_name(1, u"Foo")})}})},
      {"only the first name table is looked at", two_name_tables},
      {"name record cut short by the end of the file",
       directory_at_end({{"name", name({windows_name(1, u"Foo")})}}, 1)},
  };
  for (const Case &c : cases) EXPECT_EQ(family(c.font), std::nullopt) << c.what;
}

TEST(SfntFamily, FoundInEveryOtherKindOfFont) {
  const std::vector<Table> tables = {{"head", head(1000)}, {"name", name({windows_name(1, u"Foo")})}};
  EXPECT_EQ(family(truetype(tables)), "Foo");
  EXPECT_EQ(family(sfnt("OTTO", tables)), "Foo");
  EXPECT_EQ(family(sfnt("true", tables)), "Foo");
  EXPECT_EQ(family(collection(tables)), "Foo");
  EXPECT_EQ(family(directory_at_end({{"name", name({windows_name(1, u"Foo")})}})), "Foo");
  // Found before the walk reaches the end of a short file.
  EXPECT_EQ(family(directory_at_end({{"name", name({windows_name(1, u"Foo")})}}, 0, 65535)), "Foo");
}

TEST(FontFacts, TypeOneFontGivesMetricsButNoFamily) {
  Bytes font = sfnt("typ1", {{"head", head(1000)}, {"name", name({windows_name(1, u"Foo")})}});
  EXPECT_EQ(metrics(font).upem, 1000u);
  EXPECT_EQ(family(font), std::nullopt);
}

// ---- file stem fallback ---------------------------------------------------------------

TEST(FileStemFamily, LastNameWithoutItsExtension) {
  const std::pair<std::string, std::string> cases[] = {
      {"/tmp/x/Foo.Bold.ttf", "Foo.Bold"},
      {"/tmp/tesvo_123_4.font", "tesvo_123_4"},
      {"Font.otf", "Font"},
      {"noext", "noext"},
      {"a.b.c", "a.b"},
      {"a.", "a"},
      {".font", ".font"},
      {"/tmp/.font", ".font"},
      {"..font", "."},
      {"dir.d/file", "file"},
      {"foo.ttf/", "foo"},
      {"foo.ttf//", "foo"},
      {"a/b/.", "b"},
      {"a/b/./", "b"},
      {"./x.ttf", "x"},
      {"a//b.ttf", "b"},
      {"\xff\xfe.ttf", "\xef\xbf\xbd\xef\xbf\xbd"},
      {"/fonts/\xc3\xa9t\xc3\xa9.ttf", "\xc3\xa9t\xc3\xa9"},
      {"", "tesvo"},
      {"/", "tesvo"},
      {"//", "tesvo"},
      {".", "tesvo"},
      {"./", "tesvo"},
      {"..", "tesvo"},
      {"a/..", "tesvo"},
      {"/tmp/../", "tesvo"},
  };
  for (const auto &[path, stem] : cases) EXPECT_EQ(tesvo::file_stem_family(path), stem) << path;
}

// ---- reading the file ----------------------------------------------------------------

class ReadFontFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tesvo_font_test_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string &f : files_) ::unlink(f.c_str());
    ::rmdir(dir_.c_str());
  }
  std::string write(const std::string &name, const Bytes &content) {
    std::string path = dir_ + "/" + name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    std::size_t done = 0;
    while (done < content.size()) {
      ssize_t n = ::write(fd, content.data() + done, content.size() - done);
      EXPECT_GT(n, 0);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    files_.push_back(path);
    return path;
  }
  std::string dir_;
  std::vector<std::string> files_;
};

TEST_F(ReadFontFile, ReadsTheWholeFile) {
  Bytes big(3 * 1024 * 1024 + 7);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 131 + (i >> 9));
  for (const Bytes &content : {Bytes{}, Bytes{0x42}, big}) {
    auto read = tesvo::read_font_file(write("f.ttf", content));
    ASSERT_TRUE(read.ok()) << read.error();
    ASSERT_EQ(read->size(), content.size());
    EXPECT_TRUE(std::equal(content.begin(), content.end(), read->data()));
  }
}

TEST_F(ReadFontFile, FailuresNameThePathAndTheSystemError) {
  const std::string missing = dir_ + "/missing.ttf";
  const std::pair<std::string, std::string> cases[] = {
      {missing, "read font " + missing + ": No such file or directory (os error 2)"},
      {dir_, "read font " + dir_ + ": Is a directory (os error 21)"},
      {dir_ + "/missing/x.ttf", "read font " + dir_ + "/missing/x.ttf: No such file or directory (os error 2)"},
      {"", "read font : No such file or directory (os error 2)"},
      {"a\0b.ttf"s, "read font a\0b.ttf: file name contained an unexpected NUL byte"s},
  };
  for (const auto &[path, message] : cases) {
    auto read = tesvo::read_font_file(path);
    ASSERT_FALSE(read.ok()) << path;
    EXPECT_EQ(read.error(), message);
  }
}

TEST_F(ReadFontFile, NotADirectoryComponent) {
  std::string file = write("plain", {1, 2, 3});
  auto read = tesvo::read_font_file(file + "/x.ttf");
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error(), "read font " + file + "/x.ttf: Not a directory (os error 20)");
}

// fvar with `axes` axes of `axis_size` bytes (wght, wdth, ...) and one instance.
Bytes fvar_table(std::uint16_t major, std::uint16_t axes, std::uint16_t axis_size, std::uint16_t instance_size,
                 std::size_t cut = 0) {
  Bytes t(16 + axes * axis_size + instance_size, 0);
  put16(t, 0, major);
  put16(t, 4, 16);
  put16(t, 8, axes);
  put16(t, 10, axis_size);
  put16(t, 12, 1);
  put16(t, 14, instance_size);
  const char *tags[] = {"wght", "wdth", "opsz"};
  for (std::uint16_t i = 0; i < axes; ++i) put_tag(t, 16 + i * axis_size, tags[i % 3]);
  t.resize(t.size() - cut);
  return t;
}

TEST(FvarAxisTags, AsHarfBuzzTakesTheTable) {
  struct Case {
    const char *what;
    Bytes table;
    std::vector<std::uint32_t> tags;
  };
  const std::vector<std::uint32_t> two = {tesvo::tag("wght"), tesvo::tag("wdth")};
  const Case cases[] = {
      {"two axes", fvar_table(1, 2, 20, 12), two},
      {"axes of 24 bytes", fvar_table(1, 2, 24, 12), {}},
      {"version 2", fvar_table(2, 2, 20, 12), {}},
      {"instances shorter than their coordinates", fvar_table(1, 2, 20, 8), {}},
      {"instance cut short", fvar_table(1, 2, 20, 12, 1), {}},
      {"header cut short", Bytes(10, 0), {}},
  };
  for (const Case &c : cases) EXPECT_EQ(tesvo::fvar_axis_tags(truetype({{"fvar", c.table}})), c.tags) << c.what;
  EXPECT_TRUE(tesvo::fvar_axis_tags(truetype({{"head", head(1000)}})).empty()) << "a static font";
}

}  // namespace

// ---- a face of a collection as a font of its own -------------------------------------

TEST(ExtractFace, GivesAFontWithTheFacesTablesAndFacts) {
  const std::vector<Table> tables = {{"head", head(1234)}, {"maxp", maxp(77)},
                                     {"name", name({windows_name(1, u"Foo")})}};
  const Bytes single = truetype(tables);
  const Bytes at_end = directory_at_end({{"head", head(1234)}, {"maxp", maxp(77)},
                                        {"name", name({windows_name(1, u"Foo")})}});
  for (const Bytes &font : {collection(tables), at_end, single}) {
    tesvo::Result<tesvo::FontBytes> face = tesvo::extract_face(font, 0);
    ASSERT_TRUE(face) << face.error();
    const Bytes out(face->data(), face->data() + face->size());
    EXPECT_EQ(std::string(out.begin(), out.begin() + 4), kTrueType);
    EXPECT_EQ(metrics(out).upem, 1234u);
    EXPECT_EQ(metrics(out).glyph_count, 77u);
    EXPECT_EQ(family(out), "Foo");
  }
  tesvo::Result<tesvo::FontBytes> same = tesvo::extract_face(single, 0);
  EXPECT_EQ(Bytes(same->data(), same->data() + same->size()), single);  // a single font goes as it is
}

TEST(ExtractFace, DamagedCollectionsAndMissingFacesFailWithAMessage) {
  const std::vector<Table> tables = {{"head", head(1000)}, {"maxp", maxp(5)}};
  Bytes short_list = collection(tables);
  put32(short_list, 8, 0x10000000);
  const Bytes past_end = directory_at_end({{"head", head(1000)}}, 0);
  Bytes far_table = past_end;
  put32(far_table, far_table.size() - 8, 0xFFFFFF00);
  const struct {
    const char *name;
    Bytes font;
    std::uint32_t index;
    std::string message;
  } cases[] = {
      {"index past the last face", collection(tables), 1, "face index 1 out of range: the font has 1 face"},
      {"index of a single font", truetype(tables), 2, "face index 2 out of range: the font has 1 face"},
      {"face list cut short", short_list, 0, "damaged font collection: its face list is cut short"},
      {"directory cut short", directory_at_end({{"head", head(1000)}, {"maxp", maxp(5)}}, 4), 0,
       "damaged font: the table directory of face 0 is cut short"},
      {"table past the end", far_table, 0, "damaged font: a table of face 0 lies past the end of the file"},
      {"too short for a header", bytes("tt"), 0, "not an OpenType font: shorter than its header"},
  };
  for (const auto &c : cases) {
    for (auto face_of : {tesvo::extract_face, tesvo::face_bytes}) {
      tesvo::Result<tesvo::FontBytes> face = face_of(c.font, c.index);
      ASSERT_FALSE(face) << c.name;
      EXPECT_EQ(face.error(), c.message) << c.name;
    }
  }
}

// face_bytes views what backends take as it is (a single font, the first
// face of a collection) and lays out any other face as extract_face does,
// the padding after a table of odd length zero.
TEST(ExtractFace, FaceBytesViewsTheFirstFaceAndLaysOutTheOthers) {
  const std::vector<Table> tables = {{"head", head(1234)}, {"odd ", Bytes{1, 2, 3}}, {"maxp", maxp(77)}};
  Bytes two;
  put_tag(two, 0, "ttcf");
  put32(two, 4, 0x00010000);
  put32(two, 8, 2);
  put32(two, 12, 20);
  put32(two, 16, 20);
  const Bytes member = sfnt(kTrueType, tables, {}, 20);
  two.insert(two.end(), member.begin(), member.end());
  const Bytes single = truetype(tables);
  for (const Bytes *font : {&single, static_cast<const Bytes *>(&two)}) {
    tesvo::Result<tesvo::FontBytes> view = tesvo::face_bytes(*font, 0);
    ASSERT_TRUE(view) << view.error();
    EXPECT_EQ(view->data(), font->data());
    EXPECT_EQ(view->size(), font->size());
  }
  Bytes unknown_version = two;  // a collection HarfBuzz does not open as one: its first face laid out
  put32(unknown_version, 4, 0x00030000);
  tesvo::Result<tesvo::FontBytes> first = tesvo::face_bytes(unknown_version, 0);
  ASSERT_TRUE(first);
  EXPECT_NE(first->data(), unknown_version.data());
  EXPECT_EQ(metrics(Bytes(first->data(), first->data() + first->size())).glyph_count, 77u);
  tesvo::Result<tesvo::FontBytes> second = tesvo::face_bytes(two, 1);
  tesvo::Result<tesvo::FontBytes> laid_out = tesvo::extract_face(two, 1);
  ASSERT_TRUE(second && laid_out);
  const Bytes out(second->data(), second->data() + second->size());
  EXPECT_EQ(out, Bytes(laid_out->data(), laid_out->data() + laid_out->size()));
  EXPECT_EQ(std::string(out.begin(), out.begin() + 4), kTrueType);
  EXPECT_EQ(metrics(out).glyph_count, 77u);
  std::uint32_t odd = 0;  // the second record's offset
  for (int i = 0; i < 4; ++i) odd = odd << 8 | out[12 + 16 + 8 + i];
  EXPECT_EQ(Bytes(out.begin() + odd, out.begin() + odd + 4), (Bytes{1, 2, 3, 0}));
}

