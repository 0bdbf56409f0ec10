// The table of the backend's script numbers and their OpenType script tags.
#include "scripts.h"

#include <hb-ot.h>

#include <algorithm>
#include <array>

#include "tags.h"
#include "vantor.h"

namespace vantor {
namespace {

struct ScriptEntry {
  hb_script_t script;
  unsigned number;
};

#define VANTOR_SCRIPT_ENTRY(number, name, c1, c2, c3, c4) \
  ScriptEntry{static_cast<hb_script_t>(HB_TAG(c1, c2, c3, c4)), number},
constexpr std::array kScriptsByNumber{VANTOR_SCRIPT_LIST(VANTOR_SCRIPT_ENTRY)};
#undef VANTOR_SCRIPT_ENTRY

constexpr bool numbers_are_positions() {
  for (std::size_t i = 0; i < kScriptsByNumber.size(); ++i) {
    if (kScriptsByNumber[i].number != i + 1) return false;
  }
  return true;
}
static_assert(numbers_are_positions(), "script numbers must run 1, 2, 3, ... in the list");
static_assert(kScriptsByNumber.size() + 1 == VANTOR_SCRIPT_COUNT);
// eScript is a 10-bit field.
static_assert(VANTOR_SCRIPT_COUNT <= 1024);

constexpr auto kScriptsByTag = [] {
  auto sorted = kScriptsByNumber;
  std::sort(sorted.begin(), sorted.end(),
            [](const ScriptEntry &a, const ScriptEntry &b) { return a.script < b.script; });
  return sorted;
}();

}  // namespace

bool is_neutral_script(hb_script_t script) {
  return script == HB_SCRIPT_COMMON || script == HB_SCRIPT_INHERITED ||
         script == HB_SCRIPT_UNKNOWN || script == HB_SCRIPT_INVALID;
}

unsigned script_number(hb_script_t script) {
  const auto *found = std::lower_bound(
      kScriptsByTag.begin(), kScriptsByTag.end(), script,
      [](const ScriptEntry &entry, hb_script_t wanted) { return entry.script < wanted; });
  if (found == kScriptsByTag.end() || found->script != script) return VANTOR_SCRIPT_NONE;
  return found->number;
}

hb_script_t script_from_number(unsigned number) {
  if (number == VANTOR_SCRIPT_NONE || number > kScriptsByNumber.size()) return HB_SCRIPT_INVALID;
  return kScriptsByNumber[number - 1].script;
}

std::size_t opentype_script_tags(hb_script_t script, std::span<hb_tag_t> out) {
  if (is_neutral_script(script) || out.empty()) return 0;
  unsigned count = static_cast<unsigned>(out.size());
  hb_ot_tags_from_script_and_language(script, HB_LANGUAGE_INVALID, &count, out.data(), nullptr,
                                      nullptr);
  return count;
}

OPENTYPE_TAG preferred_script_tag(hb_script_t script) {
  std::array<hb_tag_t, HB_OT_MAX_TAGS_PER_SCRIPT> tags{};
  if (opentype_script_tags(script, tags) == 0) return 0;
  return opentype_from_hb_tag(tags[0]);
}

}  // namespace vantor
