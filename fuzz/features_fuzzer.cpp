// The feature-list parser and the quoted form on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "text/features.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char *>(data), size);
  tesvo::Result<tesvo::FeatureList> parsed = tesvo::parse_features(text);
  if (parsed) {
    for (const OPENTYPE_FEATURE_RECORD &r : *parsed) {
      // Every accepted record has a printable tag and a value in 0..2^31-1.
      for (int i = 0; i < 4; ++i) {
        unsigned c = (r.tagFeature >> (8 * i)) & 0xFF;
        if (c < 0x20 || c > 0x7E) std::abort();
      }
      if (r.lParameter < 0) std::abort();
    }
  } else if (parsed.error().rfind("bad feature \"", 0) != 0) {
    std::abort();
  }
  std::string q = tesvo::quoted(text);
  if (q.size() < 2 || q.front() != '"' || q.back() != '"') std::abort();
  return 0;
}
