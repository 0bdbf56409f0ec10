// The engine entry: one request from its options to JSON text.
#pragma once

#include "json/writer.h"
#include "shape/options.h"
#include "base/result.h"

namespace tesvo {

// Safe to call without the Python lock: it touches no Python object.
Result<JsonText> shape_json(ShapeOpts opts);

}  // namespace tesvo
