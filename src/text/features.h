// The OpenType feature-list syntax: "liga, -kern, ss01=2, 'a b' on".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "abi/usp10.h"
#include "base/result.h"

namespace tesvo {

using FeatureList = std::vector<OPENTYPE_FEATURE_RECORD>;

// Parses a comma-separated feature list into records with unique tags, in
// order of first appearance; a repeated tag takes the later value. A range
// ("kern[3:5]") is refused: the compatibility call applies features to whole runs.
Result<FeatureList> parse_features(std::string_view features);

inline constexpr std::uint64_t kToTheEnd = ~std::uint64_t{0};

// A feature applied to the characters from `start` up to, not including,
// `end` (kToTheEnd: the end of the text): character indices as the caller
// counts them until the text is known, then UTF-16 code units of the text.
struct RangedFeature {
  OPENTYPE_FEATURE_RECORD record;
  std::uint64_t start;
  std::uint64_t end;
};

// A feature list whose items may carry ranges, as HarfBuzz writes them:
// "kern[3:5]", "liga[2:]", "-smcp[:4]", "ss01[7]=2".
struct FeatureSet {
  FeatureList whole;                  // as parse_features gives them
  std::vector<RangedFeature> ranged;  // in the order given; a later one wins where they overlap,
                                      // and a later whole-text 0 removes a tag's ranges
};
Result<FeatureSet> parse_feature_set(std::string_view features);

// Text between double quotes with backslash escapes, as messages show it.
std::string quoted(std::string_view text);

// Packs a tag of 1 to 4 bytes, first byte lowest, padded with spaces.
OPENTYPE_TAG pack_tag(std::string_view tag);

}  // namespace tesvo
