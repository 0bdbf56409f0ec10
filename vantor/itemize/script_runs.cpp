// Script runs with their neutral and bracket rules.
#include "script_runs.h"

#include <unicode/uchar.h>
#include <unicode/uscript.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>
#include <vector>

#include "utf16.h"

namespace vantor {
namespace {

// How many open brackets the script resolution remembers.
constexpr std::size_t kBracketDepth = 64;

// Room for the longest Script_Extensions list (Unicode 15.0 has none longer
// than 20 scripts).
constexpr int kMaxExtensions = 64;

// The scripts a character can be written in: its Script_Extensions, which
// hold its own script when it has no others.
struct Extensions {
  std::array<UScriptCode, kMaxExtensions> codes{};
  int count = 0;

  Extensions() = default;
  Extensions(UChar32 c, UScriptCode own) {
    UErrorCode status = U_ZERO_ERROR;
    count = uscript_getScriptExtensions(c, codes.data(), kMaxExtensions, &status);
    if (U_FAILURE(status) || count <= 0) {
      codes[0] = own;
      count = 1;
    }
  }
  bool has(UScriptCode script) const {
    return std::find(codes.begin(), codes.begin() + count, script) != codes.begin() + count;
  }
  // Keeps the scripts that `other` also has.
  void intersect(const Extensions &other) {
    count = static_cast<int>(
        std::remove_if(codes.begin(), codes.begin() + count,
                       [&](UScriptCode script) { return !other.has(script); }) -
        codes.begin());
  }
};

// The opening bracket a bracket pairs with, 0 for other characters;
// canonically equivalent angle brackets count as one.
UChar32 bracket_id(UChar32 c, bool *opening, CharProperties &properties) {
  // The only paired brackets in ASCII, checked without a property lookup.
  if (c < 0x80 && c != '(' && c != ')' && c != '[' && c != ']' && c != '{' && c != '}') return 0;
  const UBidiPairedBracketType type = properties.bracket_type(c);
  if (type == U_BPT_NONE) return 0;
  *opening = type == U_BPT_OPEN;
  const UChar32 open = *opening ? c : u_getBidiPairedBracket(c);
  return open == 0x2329 ? 0x3008 : open;
}

// Resolves the script of every character, left to right. Characters of the
// Common, Inherited and Unknown scripts take the script of the run around
// them. A character whose Script_Extensions hold the script of the run joins
// it; one that can belong to several other scripts waits, with the
// characters after it, until a character narrows them to one (or leaves
// none, and the run takes the waiting character's own script when it can).
// A closing paired bracket takes the script of its opening bracket, and the
// text after it continues in that script.
class ScriptResolver {
 public:
  ScriptResolver(std::size_t count, CharProperties &properties)
      : properties_(properties), scripts_(count, USCRIPT_INVALID_CODE) {}

  // Character c starts at code unit i; the scripts are kept per code unit,
  // a character's at its first.
  void add(std::size_t i, UChar32 c, const CharFacts &facts) {
    const auto own = static_cast<UScriptCode>(facts.script);
    if ((facts.flags & kNeutralScript) != 0) {
      add_neutral(i, c);
    } else {
      add_own(i, c, own);
    }
  }

  // The scripts, once every character has been added. A text without any
  // character of a script of its own stays Common throughout.
  std::vector<UScriptCode> finish() {
    if (waiting_) settle(scripts_.size(), waiting_any_ ? USCRIPT_COMMON : best_candidate());
    return std::move(scripts_);
  }

 private:
  void add_neutral(std::size_t i, UChar32 c) {
    bool opening = false;
    const UChar32 id = bracket_id(c, &opening, properties_);
    if (id != 0 && opening) {
      // Only the innermost brackets are remembered, which keeps the search
      // for a partner short whatever the text.
      if (open_brackets_.size() == kBracketDepth) open_brackets_.erase(open_brackets_.begin());
      open_brackets_.emplace_back(id, i);
    } else if (id != 0) {
      close_bracket(i, id);
      return;
    }
    if (!waiting_) scripts_[i] = current_;
  }

  void close_bracket(std::size_t i, UChar32 id) {
    std::size_t depth = open_brackets_.size();
    while (depth > 0 && open_brackets_[depth - 1].first != id) --depth;
    if (depth == 0) {
      if (!waiting_) scripts_[i] = current_;
      return;
    }
    const std::size_t opener = open_brackets_[depth - 1].second;
    open_brackets_.resize(depth - 1);
    // An opening bracket still waiting waits with everything after it, so
    // its partner simply waits too.
    if (waiting_ && opener >= waiting_from_) return;
    if (waiting_) settle(i, best_candidate());
    current_ = scripts_[opener];
    scripts_[i] = current_;
  }

  void add_own(std::size_t i, UChar32 c, UScriptCode own) {
    if (!waiting_) {
      if (own == current_) {
        scripts_[i] = own;
        return;
      }
      start_run(i, c, own);
      return;
    }
    const Extensions extensions(c, own);
    if (waiting_any_) {
      waiting_any_ = false;
      candidates_ = extensions;
      waiting_own_ = own;
    } else {
      Extensions narrowed = candidates_;
      narrowed.intersect(extensions);
      if (narrowed.count == 0) {
        settle(i, best_candidate());
        start_run(i, c, own);
        return;
      }
      candidates_ = narrowed;
    }
    if (candidates_.count == 1) settle(i + 1, candidates_.codes[0]);
  }

  // Character i, of script `own`, follows a settled run of another script.
  void start_run(std::size_t i, UChar32 c, UScriptCode own) {
    const Extensions extensions(c, own);
    if (extensions.has(current_)) {
      scripts_[i] = current_;
      return;
    }
    if (extensions.count == 1) {
      current_ = own;
      scripts_[i] = own;
      return;
    }
    waiting_ = true;
    waiting_any_ = false;
    waiting_from_ = i;
    waiting_own_ = own;
    candidates_ = extensions;
  }

  UScriptCode best_candidate() const {
    return candidates_.has(waiting_own_) ? waiting_own_ : candidates_.codes[0];
  }

  // Gives the waiting characters before `end` the script, which becomes the
  // script of the run.
  void settle(std::size_t end, UScriptCode script) {
    std::fill(scripts_.begin() + static_cast<std::ptrdiff_t>(waiting_from_),
              scripts_.begin() + static_cast<std::ptrdiff_t>(end), script);
    current_ = script;
    waiting_ = false;
  }

  CharProperties &properties_;
  std::vector<UScriptCode> scripts_;
  std::vector<std::pair<UChar32, std::size_t>> open_brackets_;
  UScriptCode current_ = USCRIPT_INVALID_CODE;
  // The characters from waiting_from_ on have no script yet: at the start
  // of the text, any script (waiting_any_), later one of candidates_.
  bool waiting_ = true;
  bool waiting_any_ = true;
  std::size_t waiting_from_ = 0;
  UScriptCode waiting_own_ = USCRIPT_INVALID_CODE;
  Extensions candidates_;
};

}  // namespace

std::vector<UScriptCode> resolve_scripts(std::u16string_view text, CharProperties &properties, TextFacts &facts) {
  ScriptResolver resolver(text.size(), properties);
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t start = i;
    const auto c = static_cast<UChar32>(next_code_point(text, &i));
    const CharFacts &char_facts = properties.of(c);
    facts.add(char_facts);
    resolver.add(start, c, char_facts);
  }
  return resolver.finish();
}

}  // namespace vantor
