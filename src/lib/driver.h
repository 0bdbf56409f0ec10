// One shaping request, from its options to the result document.
#pragma once

#include <cstdint>
#include <string_view>

#include "lib/options.h"
#include "lib/result.h"
#include "lib/value.h"

namespace tesvo {

Result<Value> shape_value(ShapeOpts opts);

// 1 for "rtl", 0 for "ltr"; otherwise 1 when the text holds a code unit of
// the Hebrew, Arabic, Syriac, Thaana, NKo, ... blocks or their presentation forms.
std::uint16_t direction_is_rtl(std::string_view direction, std::u16string_view text);

// A millisecond pause from an environment variable: "+"? digits, up to 2^64-1.
// Anything else means no pause.
void pause_for(const char *variable);

}  // namespace tesvo
