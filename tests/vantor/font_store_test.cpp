// Font bytes: what usp_set_font_bytes accepts, and recognising bytes set
// before so that the font's face and shape plans are not built again.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "font_store.h"
#include "harness.h"
#include "script_cache.h"
#include "vantor.h"

namespace vantor_test {
namespace {

using Bytes = std::vector<std::uint8_t>;

class FontBytes : public ::testing::Test {
 protected:
  void TearDown() override {
    ScriptFreeCache(&cache_);
    usp_clear_font_bytes();
  }
  int set(const Bytes &bytes) { return usp_set_font_bytes(bytes.data(), bytes.size()); }
  // "AVATAR" in the current font, from a fresh cache.
  Shaped shape() {
    ScriptFreeCache(&cache_);
    return shape_text(&cache_, u"AVATAR");
  }
  hb_face_t *face() const { return static_cast<vantor::ScriptCache *>(cache_)->font->face(); }

  const Bytes sans_ = read_file(font_path("NotoSans-Regular.ttf"));
  SCRIPT_CACHE cache_ = nullptr;
};

TEST_F(FontBytes, AcceptsFontsAndCollectionsOnly) {
  EXPECT_EQ(usp_set_font_bytes(nullptr, 100), VANTOR_FONT_EMPTY);
  EXPECT_EQ(usp_set_font_bytes(sans_.data(), 0), VANTOR_FONT_EMPTY);
  EXPECT_EQ(set(Bytes{'n', 'o', 't', ' ', 'a', ' ', 'f', 'o', 'n', 't'}), VANTOR_FONT_NOT_SFNT);
  EXPECT_NE(usp_set_font_bytes(sans_.data(), 12), VANTOR_FONT_OK) << "a bare table directory";
  EXPECT_EQ(shape().shape_hr, E_PENDING) << "a failed set leaves no font behind";
  EXPECT_EQ(set(sans_), VANTOR_FONT_OK);
  const char *collection = "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc";
  if (!std::filesystem::exists(collection)) return;
  ASSERT_EQ(set(read_file(collection)), VANTOR_FONT_OK);
  EXPECT_EQ(shape().glyphs.size(), 6U);
}

TEST_F(FontBytes, SameContentAtAnotherAddressReusesTheFace) {
  ASSERT_EQ(set(sans_), VANTOR_FONT_OK);
  const Shaped before = shape();
  hb_face_t *const first_face = face();
  usp_clear_font_bytes();
  ASSERT_EQ(set(read_file(font_path("NotoSerif-Regular.ttf"))), VANTOR_FONT_OK);  // in between
  const std::size_t built = vantor::FontStore::faces_built();

  const Bytes copy = sans_;  // the same bytes elsewhere in memory
  ASSERT_EQ(set(copy), VANTOR_FONT_OK);
  const Shaped after = shape();
  EXPECT_EQ(vantor::FontStore::faces_built(), built);
  EXPECT_EQ(face(), first_face);
  EXPECT_EQ(after.advances, before.advances);
}

TEST_F(FontBytes, ChangedContentOfTheSameLengthIsANewFont) {
  Bytes bytes = sans_;
  ASSERT_EQ(set(bytes), VANTOR_FONT_OK);
  const std::size_t built = vantor::FontStore::faces_built();
  bytes.back() ^= 0xFF;  // table padding: still a valid font
  ASSERT_EQ(set(bytes), VANTOR_FONT_OK);
  EXPECT_EQ(vantor::FontStore::faces_built(), built + 1);
}

TEST_F(FontBytes, TheFontNoLongerNeedsTheCallersBytes) {
  Bytes bytes = sans_;
  ASSERT_EQ(set(bytes), VANTOR_FONT_OK);
  bytes.assign(bytes.size(), 0);
  bytes = Bytes();
  EXPECT_EQ(shape().glyphs.size(), 6U);
}

TEST(FontHash, EveryByteAndTheLengthCount) {
  Bytes bytes(100);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  for (std::size_t length = 1; length <= bytes.size(); ++length) {
    Bytes prefix(bytes.begin(), bytes.begin() + static_cast<long>(length));
    const std::uint64_t hash = vantor::hash_bytes(prefix);
    EXPECT_NE(vantor::hash_bytes(std::span(prefix).first(length - 1)), hash);
    for (std::size_t i = 0; i < length; ++i) {
      prefix[i] ^= 0x10;
      EXPECT_NE(vantor::hash_bytes(prefix), hash) << "length " << length << " byte " << i;
      prefix[i] ^= 0x10;
    }
    EXPECT_EQ(vantor::hash_bytes(prefix), hash);
  }
}

}  // namespace
}  // namespace vantor_test
