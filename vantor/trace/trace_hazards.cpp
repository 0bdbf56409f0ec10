// Finding the font structures that HarfBuzz cannot trace safely, by reading
// the lookups' tables directly.
#include "trace_hazards.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <unordered_set>

#include "hb_handles.h"

namespace vantor {
namespace {

constexpr unsigned kMultipleSubstitution = 2;
constexpr unsigned kExtensionSubstitution = 7;
// Offsets read before the check gives up. A real font's GSUB needs a small
// fraction of this; a hostile one can make lookups and subtables share
// their offset arrays so that a walk without a bound never ends.
constexpr std::size_t kOffsetBudget = std::size_t{1} << 22;

// Big-endian reads inside the table; anything past its end reads as absent.
class TableReader {
 public:
  explicit TableReader(std::span<const std::uint8_t> table) : table_(table) {}

  bool holds(std::size_t at, std::size_t length) const {
    return at <= table_.size() && table_.size() - at >= length;
  }
  std::optional<unsigned> u16(std::size_t at) const {
    if (!holds(at, 2)) return std::nullopt;
    return unsigned{table_[at]} << 8 | table_[at + 1];
  }
  std::optional<std::size_t> u32(std::size_t at) const {
    const auto high = u16(at);
    const auto low = u16(at + 2);
    if (!high || !low) return std::nullopt;
    return std::size_t{*high} << 16 | *low;
  }

 private:
  std::span<const std::uint8_t> table_;
};

std::string too_long(unsigned lookup, std::size_t glyphs) {
  return "its GSUB lookup " + std::to_string(lookup) + " substitutes a glyph by a sequence of " +
         std::to_string(glyphs) +
         " glyphs, too many for the fixed buffer HarfBuzz's tracing writes their positions into "
         "(it would abort the process)";
}

class SequenceCheck {
 public:
  explicit SequenceCheck(std::span<const std::uint8_t> gsub) : read_(gsub) {}

  // The first lookup with a sequence too long to trace, checking every
  // lookup: a contextual lookup can reach any of them.
  std::optional<std::string> run() {
    const auto list = read_.u16(8);
    if (!list || *list == 0) return std::nullopt;
    const auto count = read_.u16(*list);
    for (unsigned i = 0; count && i < *count; ++i) {
      const auto offset = read_.u16(*list + 2 + 2 * std::size_t{i});
      if (!offset) break;
      const std::size_t longest = lookup_longest(*list + *offset);
      if (out_of_budget_) return "its GSUB is too tangled to check for sequences too long to trace";
      if (longest > kLongestTraceableSequence) return too_long(i, longest);
    }
    return std::nullopt;
  }

 private:
  bool spend() {
    if (spent_ >= kOffsetBudget) out_of_budget_ = true;
    ++spent_;
    return !out_of_budget_;
  }

  std::size_t lookup_longest(std::size_t lookup) {
    if (!seen_lookups_.insert(lookup).second) return 0;
    const auto type = read_.u16(lookup);
    const auto count = read_.u16(lookup + 4);
    if (!type || !count) return 0;
    std::size_t longest = 0;
    for (unsigned k = 0; k < *count && spend(); ++k) {
      const auto offset = read_.u16(lookup + 6 + 2 * std::size_t{k});
      if (!offset) break;
      longest = std::max(longest, subtable_longest(*type, lookup + *offset));
    }
    return longest;
  }

  std::size_t subtable_longest(unsigned type, std::size_t subtable) {
    if (type == kExtensionSubstitution) {
      const auto inner = read_.u16(subtable + 2);
      const auto offset = read_.u32(subtable + 4);
      if (!inner || !offset || *inner != kMultipleSubstitution) return 0;
      return subtable_longest(*inner, subtable + *offset);
    }
    if (type != kMultipleSubstitution || !seen_subtables_.insert(subtable).second) return 0;
    const auto count = read_.u16(subtable + 4);
    std::size_t longest = 0;
    for (unsigned k = 0; count && k < *count && spend(); ++k) {
      const auto offset = read_.u16(subtable + 6 + 2 * std::size_t{k});
      if (!offset) break;
      // A sequence's length is its first field; its glyphs need not be read.
      // One whose glyphs run past the table is never applied: HarfBuzz's
      // check of the table empties it or drops the table.
      const std::size_t sequence = subtable + *offset;
      const auto glyphs = read_.u16(sequence);
      if (glyphs && read_.holds(sequence + 2, 2 * std::size_t{*glyphs}))
        longest = std::max<std::size_t>(longest, *glyphs);
    }
    return longest;
  }

  TableReader read_;
  std::unordered_set<std::size_t> seen_lookups_;
  std::unordered_set<std::size_t> seen_subtables_;
  std::size_t spent_ = 0;
  bool out_of_budget_ = false;
};

}  // namespace

std::optional<std::string> trace_hazard(hb_face_t *face) {
  const BlobPtr blob(hb_face_reference_table(face, HB_TAG('G', 'S', 'U', 'B')));
  unsigned length = 0;
  const char *data = hb_blob_get_data(blob.get(), &length);
  if (data == nullptr || length == 0) return std::nullopt;
  return SequenceCheck(std::span(reinterpret_cast<const std::uint8_t *>(data), length)).run();
}

}  // namespace vantor
