// Reading a CFF DICT (the Top DICT and a Private DICT) as HarfBuzz reads
// it: which DICTs HarfBuzz refuses, and the few entries needed to find the
// rest of the table.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace tesvo {

// The Top DICT entries that locate the charset, the encoding, the
// CharStrings and the Private DICT, with their defaults; `cid` when the
// font is CID-keyed (it has an ROS entry).
struct CffTopDict {
  bool cid = false;
  std::int32_t charset = 0;
  std::int32_t encoding = 0;
  std::int32_t char_strings = 0;
  std::int32_t private_offset = 0;
  std::uint32_t private_size = 0;
};

enum class CffDictKind { Top, Private };

// The DICT's entries, or nothing when HarfBuzz would refuse it: a missing
// operand, a value beyond int, a negative count, a stack deeper than 513, or
// a cut-short or malformed number. An unknown operator only drops its
// operands. For a Private DICT only the verdict counts.
std::optional<CffTopDict> read_cff_dict(std::span<const std::uint8_t> dict, CffDictKind kind);

}  // namespace tesvo
