// Conversions between Uniscribe's OPENTYPE_TAG (first character in the low
// byte) and HarfBuzz's hb_tag_t (first character in the high byte).
#pragma once

#include <hb.h>

#include <cstdint>

#include "abi/usp10.h"

namespace vantor {

constexpr hb_tag_t hb_tag_from_opentype(OPENTYPE_TAG tag) { return __builtin_bswap32(tag); }
constexpr OPENTYPE_TAG opentype_from_hb_tag(hb_tag_t tag) { return __builtin_bswap32(tag); }

static_assert(opentype_from_hb_tag(HB_TAG('l', 'a', 't', 'n')) == 0x6E74616CU);
static_assert(hb_tag_from_opentype(kTagDflt) == HB_TAG('d', 'f', 'l', 't'));

// 'dflt' and 0 both mean "no particular language system".
constexpr bool is_default_language(OPENTYPE_TAG tag) { return tag == 0 || tag == kTagDflt; }

}  // namespace vantor
