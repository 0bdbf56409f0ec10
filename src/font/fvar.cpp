#include "font/fvar.h"

#include "font/font_reader.h"

namespace tesvo {

std::vector<std::uint32_t> fvar_axis_tags(std::span<const std::uint8_t> face) {
  const FontReader fvar(face_table(face, tag("fvar")));
  const auto major = fvar.u16(0), offset = fvar.u16(4), axes = fvar.u16(8), axis_size = fvar.u16(10),
             instances = fvar.u16(12), instance_size = fvar.u16(14);
  if (!instance_size || *major != 1 || *axis_size != 20) return {};
  if (*instance_size < 4u * *axes + 4) return {};
  const std::uint64_t axes_end = std::uint64_t{*offset} + 20u * *axes;
  if (!fvar.has(*offset, 20u * *axes) || !fvar.has(axes_end, std::uint64_t{*instances} * *instance_size)) return {};
  std::vector<std::uint32_t> tags;
  tags.reserve(*axes);
  for (std::uint32_t i = 0; i < *axes; ++i) tags.push_back(*fvar.u32(*offset + 20u * i));
  return tags;
}

}  // namespace tesvo
