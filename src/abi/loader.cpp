// Choosing the backend library's path, opening it for the process, and
// resolving its entry table.
#include "abi/loader.h"

#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "base/environment.h"
#include "text/utf.h"

namespace tesvo {

namespace {

constexpr const char *kDefaultLibrary = "libvantor.so";

// A backend binds to its own dependencies before anything already loaded: a
// process that loaded another HarfBuzz into the global scope (uharfbuzz with
// RTLD_GLOBAL, say) would otherwise have libvantor shape, and trace, with that
// copy's hb_* functions instead of the HarfBuzz it was built against.
// AddressSanitizer's runtime refuses RTLD_DEEPBIND, so sanitizer builds bind
// as usual.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kOwnDependencies = 0;
#else
constexpr int kOwnDependencies = RTLD_DEEPBIND;
#endif

std::string choose_path(const std::optional<std::string> &path) {
  if (path) return *path;
  if (const char *env = environment_value("TESVO_VANTOR"); env != nullptr && is_valid_utf8(env)) return env;
  return kDefaultLibrary;
}

// dlsym yields an object pointer; entry points are function pointers.
template <class Fn> Fn *symbol(void *library, const char *name) {
  void *address = ::dlsym(library, name);
  Fn *fn = nullptr;
  static_assert(sizeof fn == sizeof address);
  std::memcpy(&fn, &address, sizeof fn);
  return fn;
}

}  // namespace

Result<void *> loader::open(const std::optional<std::string> &path) {
  std::string chosen = choose_path(path);
  if (std::size_t nul = chosen.find('\0'); nul != std::string::npos)
    return fail("bad module path: nul byte found in provided data at position: " + std::to_string(nul));
  // Immediate binding, local scope. The handle is deliberately never closed:
  // the library and whatever state it keeps stay for the life of the process.
  void *library = ::dlopen(chosen.c_str(), RTLD_NOW | kOwnDependencies);
  if (library == nullptr) return fail("dlopen(" + chosen + ") failed (libvantor not built?)");
  return library;
}

Result<Usp10> Usp10::load(const std::optional<std::string> &path) {
  Result<void *> opened = loader::open(path);
  if (!opened) return opened.take_failure();
  Usp10 usp;
  usp.library = *opened;

  auto require = [&](auto *&slot, const char *name) {
    using Fn = std::remove_pointer_t<std::remove_reference_t<decltype(slot)>>;
    slot = symbol<Fn>(usp.library, name);
    return slot != nullptr;
  };
  if (!require(usp.itemize, "ScriptItemizeOpenType")) return fail("ScriptItemizeOpenType missing in module");
  if (!require(usp.shape, "ScriptShapeOpenType")) return fail("ScriptShapeOpenType missing in module");
  if (!require(usp.place, "ScriptPlaceOpenType")) return fail("ScriptPlaceOpenType missing in module");
  if (!require(usp.free_cache, "ScriptFreeCache")) return fail("ScriptFreeCache missing in module");
  if (!require(usp.font_script_tags, "ScriptGetFontScriptTags"))
    return fail("ScriptGetFontScriptTags missing in module");

  require(usp.trace_begin, "usp_trace_begin");
  require(usp.trace_count, "usp_trace_count");
  require(usp.trace_stage, "usp_trace_stage");
  require(usp.trace_stop, "usp_trace_stop");
  require(usp.trace_refusal, "usp_trace_refusal");
  require(usp.set_font_bytes, "usp_set_font_bytes");
  require(usp.clear_font_bytes, "usp_clear_font_bytes");
  require(usp.capabilities, "usp_capabilities");
  require(usp.backend_version, "usp_backend_version");
  require(usp.set_variations, "usp_set_variations");
  require(usp.variation_coords, "usp_variation_coords");
  require(usp.language_tags, "usp_language_tags");
  require(usp.trace_stage_glyphs, "usp_trace_stage_glyphs");
  require(usp.trace_stage_change, "usp_trace_stage_change");
  require(usp.trace_stage_nested, "usp_trace_stage_nested");
  require(usp.script_break, "ScriptBreak");
  return usp;
}

}  // namespace tesvo
