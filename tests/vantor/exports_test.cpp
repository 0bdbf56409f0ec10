// The built libvantor.so exports the Uniscribe entry points and its own functions and nothing else.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include "harness.h"

namespace vantor_test {
namespace {

const std::set<std::string> kExports = {
    "ScriptItemizeOpenType", "ScriptShapeOpenType", "ScriptPlaceOpenType", "ScriptFreeCache",
    "ScriptGetFontScriptTags", "ScriptBreak", "usp_set_font_bytes", "usp_clear_font_bytes", "usp_capabilities",
    "usp_backend_version", "usp_set_variations", "usp_language_tags", "usp_variation_coords",
    "usp_trace_begin", "usp_trace_count", "usp_trace_stage", "usp_trace_stage_glyphs", "usp_trace_stage_change",
    "usp_trace_stage_nested",
    "usp_trace_stop",
    "usp_trace_refusal"};

TEST(Exports, DynamicSymbolTableHoldsExactlyTheEntryPoints) {
  const std::string command = std::string("nm -D --defined-only '") + VANTOR_LIBRARY_PATH + "'";
  const auto closer = [](FILE *pipe) { pclose(pipe); };
  const std::unique_ptr<FILE, decltype(closer)> pipe(popen(command.c_str(), "r"), closer);
  std::set<std::string> defined;
  char line[512], name[400];
  while (pipe && std::fgets(line, sizeof line, pipe.get()) != nullptr) {
    if (std::sscanf(line, "%*s %*c %399s", name) == 1) defined.insert(name);
  }
  if (defined.empty()) GTEST_SKIP() << "nm (binutils) could not be run";
  EXPECT_EQ(defined, kExports);
}

TEST(Exports, LoadedLibraryResolvesAndRuns) {
  const auto closer = [](void *handle) { dlclose(handle); };
  const std::unique_ptr<void, decltype(closer)> library(dlopen(VANTOR_LIBRARY_PATH, RTLD_NOW),
                                                        closer);
  ASSERT_TRUE(library) << dlerror();
  for (const std::string &name : kExports) EXPECT_TRUE(dlsym(library.get(), name.c_str())) << name;
  auto *itemize_fn =
      reinterpret_cast<ScriptItemizeOpenTypeFn *>(dlsym(library.get(), "ScriptItemizeOpenType"));
  SCRIPT_ITEM items[17];
  OPENTYPE_TAG tags[16];
  int count = 0;
  ASSERT_EQ(itemize_fn(u"abc", 3, 16, nullptr, nullptr, items, tags, &count), S_OK);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(tags[0], ot_tag("latn"));
}

}  // namespace
}  // namespace vantor_test
