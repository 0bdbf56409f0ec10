// The OpenType feature-list syntax: "liga, -kern, ss01=2, 'a b' on".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ffi/usp10.h"
#include "lib/result.h"

namespace tesvo {

using FeatureList = std::vector<OPENTYPE_FEATURE_RECORD>;

// Parses a comma-separated feature list into records with unique tags, in
// order of first appearance; a repeated tag takes the later value.
Result<FeatureList> parse_features(std::string_view features);

// Text between double quotes with backslash escapes, as messages show it.
std::string quoted(std::string_view text);

// Packs a tag of 1 to 4 bytes, first byte lowest, padded with spaces.
OPENTYPE_TAG pack_tag(std::string_view tag);

}  // namespace tesvo
