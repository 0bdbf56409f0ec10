// The engine entry of the compatibility call: the driver's document rendered
// as JSON text.
#include "compat/shape_json.h"

#include "shape/driver.h"

namespace tesvo {

Result<JsonText> shape_json(ShapeOpts opts) {
  const DocumentArena arena(opts.text.size());  // outlives the tree
  Result<Value> document = shape_value(std::move(opts));
  if (!document) return document.take_failure();
  JsonText text = render_json(*document);
  return text;  // the tree is freed here, before the caller copies the text
}

}  // namespace tesvo
