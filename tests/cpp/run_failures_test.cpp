// How a shaping run fails: the names of result codes and tags, failures of
// the backend's calls, and a backend breaking its counts.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "run_fixture.h"

namespace {

using namespace run_fixture;

TEST(NamedCode, NamesTwoCodesAndPrintsEightUpperCaseDigits) {
  const std::pair<HRESULT, const char *> cases[] = {
      {E_INVALIDARG, "E_INVALIDARG (0x80070057)"},
      {E_OUTOFMEMORY, "E_OUTOFMEMORY (0x8007000E)"},
      {E_FAIL, "HRESULT error (0x80004005)"},
      {E_PENDING, "HRESULT error (0x8000000A)"},
      {USP_E_SCRIPT_NOT_IN_FONT, "HRESULT error (0x80040200)"},
      {1, "HRESULT error (0x00000001)"},
      {-1, "HRESULT error (0xFFFFFFFF)"},
  };
  for (const auto &[hr, text] : cases) EXPECT_EQ(tesvo::named_code(hr), text);
}

TEST(TagHex, EightLowerCaseDigits) {
  EXPECT_EQ(tesvo::tag_hex(kDflt), "0x746c6664");
  EXPECT_EQ(tesvo::tag_hex(0), "0x00000000");
  EXPECT_EQ(tesvo::tag_hex(0x20), "0x00000020");
  EXPECT_EQ(tesvo::tag_hex(0xFFFFFFFF), "0xffffffff");
}

TEST_F(ShapeItems, ItemizeFailureEndsTheRunWithTheNamedCode) {
  const std::pair<HRESULT, const char *> cases[] = {
      {E_INVALIDARG, "ScriptItemizeOpenType: E_INVALIDARG (0x80070057)"},
      {E_OUTOFMEMORY, "ScriptItemizeOpenType: E_OUTOFMEMORY (0x8007000E)"},
      {E_FAIL, "ScriptItemizeOpenType: HRESULT error (0x80004005)"},
      {1, "ScriptItemizeOpenType: HRESULT error (0x00000001)"},
  };
  for (const auto &[hr, message] : cases) {
    FakeBackend fresh;
    backend = std::move(fresh);
    backend.itemize_hr = hr;
    EXPECT_EQ(shape_error(u"ab"), message);
    EXPECT_EQ(backend.log, std::vector<std::string>{"itemize"});
  }
}

TEST_F(ShapeItems, ShapeFailureNamesTheTagAndTheCode) {
  usp = fake_table(kAllTrace);
  const std::pair<HRESULT, const char *> cases[] = {
      {E_INVALIDARG, "ScriptShapeOpenType tag=0x6e74616c: E_INVALIDARG (0x80070057)"},
      {USP_E_SCRIPT_NOT_IN_FONT, "ScriptShapeOpenType tag=0x6e74616c: HRESULT error (0x80040200)"},
      {E_PENDING, "ScriptShapeOpenType tag=0x6e74616c: HRESULT error (0x8000000A)"},
  };
  for (const auto &[hr, message] : cases) {
    FakeBackend fresh;
    backend = std::move(fresh);
    backend.items = {item_at(0), item_at(1), item_at(2)};
    backend.plans[1].shape_hr = hr;
    EXPECT_EQ(shape_error(u"ab", {.trace = true}), message);
    // The first item was done; the second ends the run before any read-back.
    EXPECT_EQ(backend.log, (std::vector<std::string>{"itemize", "tags", "begin", "shape", "count", "stop", "place",
                                                     "tags", "begin", "shape"}));
  }
}

TEST_F(ShapeItems, PlaceFailureIsNotRetried) {
  backend.plans[0].place_hr = E_OUTOFMEMORY;
  EXPECT_EQ(shape_error(u"ab"), "ScriptPlaceOpenType: E_OUTOFMEMORY (0x8007000E)");
  EXPECT_EQ(backend.places.size(), 1u);

  FakeBackend fresh;
  backend = std::move(fresh);
  backend.plans[0].place_hr = E_INVALIDARG;
  EXPECT_EQ(shape_error(u"ab"), "ScriptPlaceOpenType: E_INVALIDARG (0x80070057)");
}

TEST_F(ShapeItems, BackendBreakingItsCountsIsAnEngineFailure) {
  // More items than the item buffer holds (16 + 1 for a short text).
  backend.items = std::vector<SCRIPT_ITEM>(17, item_at(0));
  backend.item_count = 18;
  EXPECT_THROW((void)shape(u"a"), tesvo::EnginePanic);

  for (int count : {17, -1}) {  // the glyph buffer of a one-character item holds 16
    FakeBackend fresh;
    backend = std::move(fresh);
    backend.plans[0].reported_count = count;
    EXPECT_THROW((void)shape(u"a"), tesvo::EnginePanic) << count;
  }

  FakeBackend fresh;
  backend = std::move(fresh);
  backend.plans[0].glyphs = std::vector<WORD>(16, 3);
  Value doc = shape_ok(u"a");  // exactly full is fine
  EXPECT_EQ(final_of(doc).size(), 16u);
}

}  // namespace
