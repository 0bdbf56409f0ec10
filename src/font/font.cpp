// Font files and the facts read from them: the whole file, units per em and
// glyph count, the family name, the faces of a collection and one face taken
// out as a font of its own, and the file-stem fallback. Every read is checked
// against the end of the font.
#include "font/font.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "font/font_reader.h"
#include "base/system_error.h"
#include "text/utf.h"

namespace tesvo {

namespace {

enum class DirectoryUse { Metrics, Family };

// Where the table directory of the font (the first font of a collection) starts.
std::optional<std::uint64_t> table_directory_offset(const FontReader &font, DirectoryUse use) {
  if (font.size() < 12) return std::nullopt;
  std::uint32_t header = *font.u32(0);
  if (header == 0x00010000 || header == tag("OTTO") || header == tag("true")) return 0;
  if (header == tag("typ1")) {
    if (use == DirectoryUse::Family) return std::nullopt;
    return 0;
  }
  if (header != tag("ttcf") || font.size() < 16) return std::nullopt;
  std::uint64_t first = *font.u32(12);
  if (first + 12 > font.size()) return std::nullopt;
  return first;
}

struct TableRecord {
  std::uint32_t tag;
  std::uint32_t offset;
  std::uint32_t length;
};

// Calls visit(record) for each whole table record, in order. Stops when a
// record would extend past the end (returning false) or when visit returns true.
template <class Visit> bool walk_tables(const FontReader &font, std::uint64_t directory, Visit visit) {
  std::uint16_t count = font.u16(directory + 4).value_or(0);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t at = directory + 12 + 16ULL * i;
    if (!font.has(at, 16)) return false;
    if (visit(TableRecord{*font.u32(at), *font.u32(at + 8), *font.u32(at + 12)})) return true;
  }
  return true;
}

std::string decode_utf16be(const FontReader &font, std::uint64_t offset, std::uint16_t length) {
  std::string out;
  out.reserve(length);
  for (std::uint32_t i = 0; i + 1 < length; i += 2) {
    std::uint16_t unit = *font.u16(offset + i);
    append_utf8(out, unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit);
  }
  return out;
}

}  // namespace

Result<FontBytes> read_font_file(const std::string &path) {
  auto failure = [&](const std::string &reason) { return fail("read font " + path + ": " + reason); };
  if (path.find('\0') != std::string::npos) return failure("file name contained an unexpected NUL byte");

  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return failure(os_error_text(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return failure(os_error_text(errno));

  // Read up to the size the file had when opened, then on until end of file
  // in case it grew meanwhile.
  std::size_t capacity = info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0;
  auto data = std::make_unique_for_overwrite<std::uint8_t[]>(capacity + 1);
  std::size_t size = 0;
  for (;;) {
    if (size == capacity + 1) {
      std::size_t grown = (capacity + 1) * 2;
      auto bigger = std::make_unique_for_overwrite<std::uint8_t[]>(grown);
      std::memcpy(bigger.get(), data.get(), size);
      data = std::move(bigger);
      capacity = grown - 1;
    }
    ssize_t got = ::read(fd.get(), data.get() + size, capacity + 1 - size);
    if (got < 0) {
      if (errno == EINTR) continue;
      return failure(os_error_text(errno));
    }
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  return FontBytes(std::move(data), size);
}

FontMetrics read_font_metrics(std::span<const std::uint8_t> bytes) {
  FontMetrics metrics;
  FontReader font(bytes);
  std::optional<std::uint64_t> directory = table_directory_offset(font, DirectoryUse::Metrics);
  if (!directory) return metrics;

  std::optional<std::uint32_t> head, maxp;
  walk_tables(font, *directory, [&](const TableRecord &record) {
    if (record.tag == tag("head")) head = record.offset;
    if (record.tag == tag("maxp")) maxp = record.offset;
    return false;
  });
  if (head && font.has(*head, 20)) metrics.upem = *font.u16(*head + 18ULL);
  if (maxp && font.has(*maxp, 6)) metrics.glyph_count = *font.u16(*maxp + 4ULL);
  return metrics;
}

std::optional<std::string> sfnt_family(std::span<const std::uint8_t> bytes) {
  FontReader font(bytes);
  std::optional<std::uint64_t> directory = table_directory_offset(font, DirectoryUse::Family);
  if (!directory) return std::nullopt;

  std::optional<TableRecord> name;
  bool complete = walk_tables(font, *directory, [&](const TableRecord &record) {
    if (record.tag != tag("name")) return false;
    name = record;
    return true;
  });
  if (!complete || !name) return std::nullopt;

  std::uint64_t table = name->offset;
  if (!font.has(table, 6)) return std::nullopt;
  std::uint16_t count = *font.u16(table + 2);
  std::uint64_t strings = table + *font.u16(table + 4);
  std::uint64_t end = std::min<std::uint64_t>(table + name->length, font.size());

  std::optional<std::string> choice;
  std::uint16_t choice_id = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t at = table + 6 + 12ULL * i;
    if (at + 12 > end) break;
    std::uint16_t platform = *font.u16(at), encoding = *font.u16(at + 2);
    std::uint16_t name_id = *font.u16(at + 6), length = *font.u16(at + 8);
    std::uint64_t offset = strings + *font.u16(at + 10);
    if (platform != 3 || (encoding != 1 && encoding != 10)) continue;
    if (name_id != 1 && name_id != 16) continue;
    if (!font.has(offset, length) || length < 2) continue;
    // The first usable family name (ID 1) wins; a typographic family (ID 16)
    // stands only until a family name turns up.
    bool replaces = !choice || (choice_id == 16 && name_id == 1);
    if (!replaces) continue;
    choice = decode_utf16be(font, offset, length);
    choice_id = name_id;
    if (name_id == 1) break;
  }
  return choice;
}

namespace {

void put_u16(std::uint8_t *at, std::uint32_t v) {
  at[0] = static_cast<std::uint8_t>(v >> 8);
  at[1] = static_cast<std::uint8_t>(v);
}

void put_u32(std::uint8_t *at, std::uint32_t v) {
  put_u16(at, v >> 16);
  put_u16(at + 2, v & 0xFFFFU);
}

std::uint64_t padded(std::uint64_t length) { return (length + 3) & ~std::uint64_t{3}; }

}  // namespace

Result<std::uint32_t> face_count(std::span<const std::uint8_t> bytes) {
  FontReader font(bytes);
  std::optional<std::uint32_t> header = font.u32(0);
  if (!header) return fail("not an OpenType font: shorter than its header");
  if (*header != tag("ttcf")) return 1;
  std::optional<std::uint32_t> count = font.u32(8);
  if (!count || !font.has(12, 4ULL * *count)) return fail("damaged font collection: its face list is cut short");
  return *count;
}

std::string face_out_of_range(std::string_view index, std::uint32_t count) {
  return "face index " + std::string(index) + " out of range: the font has " + std::to_string(count) +
         (count == 1 ? " face" : " faces");
}

namespace {

// Face `index` of `bytes`, checked whole; a view of `bytes` where `may_view`
// and the backends take the bytes as that face already, else a copy.
Result<FontBytes> face_of(std::span<const std::uint8_t> bytes, std::uint32_t index, bool may_view) {
  Result<std::uint32_t> count = face_count(bytes);
  if (!count) return count.take_failure();
  if (index >= *count) return fail(face_out_of_range(std::to_string(index), *count));
  FontReader font(bytes);
  if (*font.u32(0) != tag("ttcf")) {
    // A single font goes as it is, so that the backend finds it again by content.
    if (may_view) return FontBytes::viewing(bytes);
    auto copy = std::make_unique_for_overwrite<std::uint8_t[]>(bytes.size());
    std::memcpy(copy.get(), bytes.data(), bytes.size());
    return FontBytes(std::move(copy), bytes.size());
  }
  std::uint64_t directory = *font.u32(12 + 4ULL * index);
  std::optional<std::uint16_t> tables = font.u16(directory + 4);
  if (!tables || !font.has(directory, 12 + 16ULL * *tables))
    return fail("damaged font: the table directory of face " + std::to_string(index) + " is cut short");

  // One table directory, then the tables in directory order, each on a
  // four-byte boundary; checksums are kept as the collection has them.
  std::uint64_t size = 12 + 16ULL * *tables;
  std::vector<TableRecord> records;
  records.reserve(*tables);
  walk_tables(font, directory, [&](const TableRecord &record) {
    records.push_back(record);
    return false;
  });
  for (const TableRecord &record : records) {
    if (!font.has(record.offset, record.length))
      return fail("damaged font: a table of face " + std::to_string(index) + " lies past the end of the file");
    size += padded(record.length);
  }
  if (size > UINT32_MAX) return fail("face " + std::to_string(index) + " is too large for a single font");
  // The first face goes as the collection it is part of where HarfBuzz
  // opens the collection (versions 1 and 2), else laid out as the others.
  const std::uint16_t major = font.u16(4).value_or(0);
  if (may_view && index == 0 && (major == 1 || major == 2)) return FontBytes::viewing(bytes);
  // Written whole, the padding after each table included, so not zeroed
  // first: a large face is then touched once.
  auto out = std::make_unique_for_overwrite<std::uint8_t[]>(size);
  std::memcpy(out.get(), bytes.data() + directory, 12);
  std::uint64_t at = 12 + 16ULL * *tables;
  for (std::size_t i = 0; i < records.size(); ++i) {
    std::uint8_t *entry = out.get() + 12 + 16 * i;
    std::memcpy(entry, bytes.data() + directory + 12 + 16 * i, 8);  // tag and checksum
    put_u32(entry + 8, static_cast<std::uint32_t>(at));
    put_u32(entry + 12, records[i].length);
    std::memcpy(out.get() + at, bytes.data() + records[i].offset, records[i].length);
    std::memset(out.get() + at + records[i].length, 0, padded(records[i].length) - records[i].length);
    at += padded(records[i].length);
  }
  return FontBytes(std::move(out), size);
}

}  // namespace

Result<FontBytes> extract_face(std::span<const std::uint8_t> bytes, std::uint32_t index) {
  return face_of(bytes, index, false);
}

Result<FontBytes> face_bytes(std::span<const std::uint8_t> bytes, std::uint32_t index) {
  return face_of(bytes, index, true);
}

std::string file_stem_family(std::string_view path) {
  // The last component, with trailing separators and "." components ignored.
  std::string_view rest = path;
  std::string_view name;
  while (!rest.empty()) {
    std::size_t slash = rest.rfind('/');
    std::string_view part = slash == std::string_view::npos ? rest : rest.substr(slash + 1);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(0, slash);
    if (part.empty() || part == ".") continue;
    name = part;
    break;
  }
  if (name.empty() || name == "..") return "tesvo";
  std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return utf8_lossy(name);
}

}  // namespace tesvo
