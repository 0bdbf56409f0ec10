// The engine entry: one request from its options to JSON text.
#pragma once

#include "lib/json_writer.h"
#include "lib/options.h"
#include "lib/result.h"

namespace tesvo {

// Safe to call without the Python lock: it touches no Python object.
Result<JsonText> shape_json(ShapeOpts opts);

}  // namespace tesvo
