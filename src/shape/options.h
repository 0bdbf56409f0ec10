// The option record of one shaping request.
#pragma once

#include <optional>
#include <string>

namespace tesvo {

struct ShapeOpts {
  std::string font;       // path of the font file (UTF-8)
  std::string text;       // the text to shape (UTF-8)
  std::string script;     // accepted and carried; the itemizer decides the script
  std::string language;   // accepted and carried; shaping uses 'dflt'
  std::string direction = "auto";  // "rtl", "ltr", anything else: automatic
  std::optional<std::string> usp10;  // backend library path; none: TESVO_VANTOR or default
  std::string features;   // OpenType feature list, see parse_features
  bool trace = false;     // read back the port's per-lookup stages
  bool wine_bytes = false;  // accepted and carried; font bytes always go to the port
  bool textshaping = false;  // the Windows TextShaping engine; refused on this platform
};

}  // namespace tesvo
