// Owning handles for the HarfBuzz objects the backend keeps or creates.
#pragma once

#include <hb.h>

#include <memory>

namespace vantor {

template <class T, void (*Destroy)(T *)> struct HbDestroyer {
  void operator()(T *object) const noexcept { Destroy(object); }
};

using BlobPtr = std::unique_ptr<hb_blob_t, HbDestroyer<hb_blob_t, hb_blob_destroy>>;
using FacePtr = std::unique_ptr<hb_face_t, HbDestroyer<hb_face_t, hb_face_destroy>>;
using FontPtr = std::unique_ptr<hb_font_t, HbDestroyer<hb_font_t, hb_font_destroy>>;
using BufferPtr = std::unique_ptr<hb_buffer_t, HbDestroyer<hb_buffer_t, hb_buffer_destroy>>;
using ShapePlanPtr =
    std::unique_ptr<hb_shape_plan_t, HbDestroyer<hb_shape_plan_t, hb_shape_plan_destroy>>;
using SetPtr = std::unique_ptr<hb_set_t, HbDestroyer<hb_set_t, hb_set_destroy>>;

}  // namespace vantor
