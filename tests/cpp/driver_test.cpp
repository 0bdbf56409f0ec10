// The shaping driver and the loader, with real backend libraries opened by
// dlopen: the order of checks and their messages, the font bytes handed to the
// port and released after the run, direction, pauses, and the entry table.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "font_builder.h"
#include "shape/driver.h"
#include "compat/shape_json.h"
#include "json/writer.h"
#include "text/utf.h"
#include "abi/loader.h"
#include "test_backend.h"

namespace {

using tesvo::ShapeOpts;
using tesvo::Value;

const char kTextShaping[] =
    "backend='textshaping' is Windows-only (it drives the system TextShaping engine via usp10); on this platform "
    "use backend='vantor' for the cross-platform per-lookup trace.";
const char kNoFontBytes[] =
    "this libvantor has no usp_set_font_bytes export \xe2\x80\x94 rebuild the port with fontbytes";

std::string feature_refusal(const std::string &features) {
  return "features \"" + features +
         "\" cannot be applied by the loaded Wine Uniscribe port: its ScriptShapeOpenType/ScriptPlaceOpenType log "
         "\"Ranges not supported yet\" and drop the OPENTYPE_FEATURE_RECORD array, so the result would silently "
         "ignore them. Use backend='usp10' (system Uniscribe) or backend='textshaping' for feature selection.";
}

const char *const kEnvironment[] = {"TESVO_VANTOR",       "TESVO_PRESLEEP_MS",  "TESVO_PRELOAD_TS",
                                    "TESVO_POSTLOAD_MS",  "TESVO_NATIVE_RUN",   "TESVO_GLYPH_PROBE",
                                    "TESVO_RET_PROBE",    "TESVO_TS_RET",       "TESVO_WORKER_PROBE",
                                    "TESVO_CALLEE_PROBE", "TESVO_TS_PROBE"};

void clear_environment() {
  for (const char *name : kEnvironment) ::unsetenv(name);
}

// One of the test backends, opened the way the loader opens it.
struct Backend {
  explicit Backend(const char *library_path) : path(library_path) {
    handle = ::dlopen(library_path, RTLD_NOW);
    if (handle == nullptr) return;
    state = static_cast<TestBackendState *>(::dlsym(handle, TEST_BACKEND_STATE));
    void *reset_address = ::dlsym(handle, TEST_BACKEND_RESET);
    if (reset_address != nullptr) std::memcpy(&reset, &reset_address, sizeof reset);
    if (reset != nullptr) reset();
  }
  std::string log() const { return std::string(state->log, static_cast<std::size_t>(state->log_size)); }

  std::string path;
  void *handle = nullptr;
  TestBackendState *state = nullptr;
  TestBackendReset *reset = nullptr;
};

double elapsed_ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

class Driver : public ::testing::Test {
 protected:
  void SetUp() override {
    clear_environment();
    ASSERT_NE(port.state, nullptr) << ::dlerror();
    ASSERT_NE(plain.state, nullptr) << ::dlerror();
    char pattern[] = "/tmp/tesvo_driver_test_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    using namespace font_builder;
    font_data = truetype({{"head", head(1000)}, {"maxp", maxp(77)}, {"name", name({windows_name(1, u"Drvfam")})}});
    font_path = write("Drvfam-Regular.ttf", font_data);
    not_a_font_path = write("tesvo_9_3.font", bytes("not a font at all"));
  }
  void TearDown() override {
    clear_environment();
    for (const std::string &f : files) ::unlink(f.c_str());
    ::rmdir(dir.c_str());
  }

  std::string write(const std::string &file_name, const font_builder::Bytes &content) {
    std::string path = dir + "/" + file_name;
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    files.push_back(path);
    return path;
  }

  ShapeOpts request(const std::string &text = "ab") const {
    ShapeOpts opts;
    opts.font = font_path;
    opts.text = text;
    opts.usp10 = port.path;
    return opts;
  }

  static std::string error_of(tesvo::Result<Value> result) {
    if (result.ok()) return "(no failure)";
    return result.error();
  }

  Backend port{TEST_BACKEND_PORT};
  Backend plain{TEST_BACKEND_PLAIN};
  std::string dir, font_path, not_a_font_path;
  font_builder::Bytes font_data;
  std::vector<std::string> files;
};

// ---- direction ---------------------------------------------------------------------------

TEST_F(Driver, DirectionReachesItemization) {
  struct Case {
    const char *direction;
    const char *text;
    int level;
  };
  const Case cases[] = {
      {"auto", "abc", 0}, {"auto", "abc\xd7\x90", 1}, {"rtl", "abc", 1}, {"RTL", "abc", 0}, {"ltr", "\xd7\x90", 0}};
  for (const Case &c : cases) {
    port.reset();
    ShapeOpts opts = request(c.text);
    opts.direction = c.direction;
    ASSERT_TRUE(tesvo::shape_value(opts).ok()) << c.direction;
    EXPECT_EQ(port.state->itemize_bidi_level, c.level) << c.direction << " " << c.text;
  }
}

// ---- pauses --------------------------------------------------------------------------------

TEST(PauseFor, AnythingButPlainDecimalMillisecondsMeansNoPause) {
  // Each value would pause for seconds if part of it were taken as a number.
  const char *const values[] = {"",      "+",          "-1",        "-5000",         " 5000",
                                "5000 ", "5000ms",     "++5000",    "+-5000",        "5000.5",
                                "0x5000", "5e3",       "\xd9\xa3",  "\xef\xbc\x95\xef\xbc\x90\xef\xbc\x90\xef\xbc\x90",
                                "\xff",  "18446744073709553616"};  // 2^64 + 2000
  for (const char *value : values) {
    ::setenv("TESVO_TEST_PAUSE", value, 1);
    auto start = std::chrono::steady_clock::now();
    tesvo::pause_for("TESVO_TEST_PAUSE");
    EXPECT_LT(elapsed_ms(start), 1000) << "'" << value << "'";
  }
  ::unsetenv("TESVO_TEST_PAUSE");
  auto start = std::chrono::steady_clock::now();
  tesvo::pause_for("TESVO_TEST_PAUSE");
  EXPECT_LT(elapsed_ms(start), 1000);
}

TEST(PauseFor, DecimalMillisecondsWithOptionalPlusPause) {
  for (const char *value : {"120", "+120", "0120", "+000120"}) {
    ::setenv("TESVO_TEST_PAUSE", value, 1);
    auto start = std::chrono::steady_clock::now();
    tesvo::pause_for("TESVO_TEST_PAUSE");
    double ms = elapsed_ms(start);
    EXPECT_GE(ms, 120) << value;
    EXPECT_LT(ms, 5000) << value;
  }
  ::unsetenv("TESVO_TEST_PAUSE");
}

TEST_F(Driver, PausesComeFirstAndPostloadNeedsPreload) {
  ShapeOpts missing = request();
  missing.font = dir + "/missing.ttf";

  ::setenv("TESVO_PRESLEEP_MS", "+150", 1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(error_of(tesvo::shape_value(missing)),
            "read font " + missing.font + ": No such file or directory (os error 2)");
  EXPECT_GE(elapsed_ms(start), 150);
  ::unsetenv("TESVO_PRESLEEP_MS");

  ::setenv("TESVO_POSTLOAD_MS", "3000", 1);
  start = std::chrono::steady_clock::now();
  (void)tesvo::shape_value(missing);
  EXPECT_LT(elapsed_ms(start), 1000) << "paused without TESVO_PRELOAD_TS";

  ::setenv("TESVO_POSTLOAD_MS", "150", 1);
  ::setenv("TESVO_PRELOAD_TS", "", 1);
  start = std::chrono::steady_clock::now();
  (void)tesvo::shape_value(missing);
  EXPECT_GE(elapsed_ms(start), 150);
}

// ---- order of checks -------------------------------------------------------------------------

TEST_F(Driver, FirstFailingCheckDecidesTheMessageBeforeAnyBackendCall) {
  const std::string missing_font = dir + "/missing.ttf";
  struct Case {
    const char *what;
    std::function<void(ShapeOpts &)> change;
    std::string message;
  };
  const Case cases[] = {
      {"missing font wins over textshaping",
       [&](ShapeOpts &o) {
         o.font = missing_font;
         o.textshaping = true;
         o.usp10 = "/nonexistent/lib.so";
       },
       "read font " + missing_font + ": No such file or directory (os error 2)"},
      {"textshaping wins over a missing library",
       [](ShapeOpts &o) {
         o.textshaping = true;
         o.trace = true;
         o.usp10 = "/nonexistent/lib.so";
         o.features = "liga=x";
         o.text = "";
       },
       kTextShaping},
      {"missing library wins over a bad feature",
       [](ShapeOpts &o) {
         o.usp10 = "/nonexistent/lib.so";
         o.features = "liga=x";
       },
       "dlopen(/nonexistent/lib.so) failed (libvantor not built?)"},
      {"missing entry point wins over a bad feature",
       [](ShapeOpts &o) {
         o.usp10 = TEST_BACKEND_ITEMIZE_ONLY;
         o.features = "liga=x";
       },
       "ScriptShapeOpenType missing in module"},
      {"bad feature wins over an empty text",
       [](ShapeOpts &o) {
         o.features = "liga=x";
         o.text = "";
       },
       "bad feature \"liga=x\": feature value \"x\" must be a non-negative integer or on/off"},
      {"feature refusal quotes the features as given and wins over an empty text",
       [](ShapeOpts &o) {
         o.features = "  liga , \"x\" ";
         o.text = "";
       },
       feature_refusal("  liga , \"x\" ")},
      {"empty text", [](ShapeOpts &o) { o.text = ""; }, "empty text"},
      {"empty text wins over a missing font-bytes export",
       [](ShapeOpts &o) {
         o.usp10 = TEST_BACKEND_PLAIN;
         o.text = "";
       },
       "empty text"},
      {"features without the font-bytes export",
       [](ShapeOpts &o) {
         o.usp10 = TEST_BACKEND_PLAIN;
         o.features = "liga";
       },
       kNoFontBytes},
      {"no font-bytes export", [](ShapeOpts &o) { o.usp10 = TEST_BACKEND_PLAIN; }, kNoFontBytes},
  };
  for (const Case &c : cases) {
    port.reset();
    plain.reset();
    ShapeOpts opts = request();
    c.change(opts);
    EXPECT_EQ(error_of(tesvo::shape_value(opts)), c.message) << c.what;
    EXPECT_EQ(port.log(), "") << c.what;
    EXPECT_EQ(plain.log(), "") << c.what;
  }
}

TEST_F(Driver, FeatureListOfOnlySeparatorsIsEmpty) {
  ShapeOpts opts = request();
  opts.features = ", ,";
  EXPECT_TRUE(tesvo::shape_value(opts).ok());
  EXPECT_EQ(port.log(), "BITSPFC");
}

TEST_F(Driver, RejectedFontBytesEndTheRequestWithoutAnotherCall) {
  for (int rc : {-5, 7}) {
    port.reset();
    port.state->set_font_bytes_rc = rc;
    EXPECT_EQ(error_of(tesvo::shape_value(request())), "usp_set_font_bytes failed (rc=" + std::to_string(rc) + ")");
    EXPECT_EQ(port.log(), "B");
  }
}

// ---- the request end to end -----------------------------------------------------------------

TEST_F(Driver, SuccessfulRequestHandsOverTheFontAndReleasesItAfterTheRun) {
  ShapeOpts opts = request();
  opts.wine_bytes = false;  // the bytes go to the port all the same
  auto result = tesvo::shape_value(opts);
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(port.log(), "BITSPFC");
  EXPECT_EQ(port.state->font_length, font_data.size());
  EXPECT_EQ(std::memcmp(port.state->font_head, font_data.data(), 16), 0);
  EXPECT_EQ(port.state->font_intact_at_clear, 1);
  EXPECT_EQ(port.state->free_saw_filled_cache, 1);

  const Value &doc = *result;
  EXPECT_EQ(doc.find("upem")->as_uint(), 1000u);
  EXPECT_EQ(doc.find("glyph_count")->as_uint(), 77u);
  EXPECT_EQ(doc.find("font_info")->find("family")->as_string(), "Drvfam");
  EXPECT_EQ(doc.find("font_info")->find("path")->as_string(), font_path);
  EXPECT_EQ(doc.find("final")->size(), 2u);
}

TEST_F(Driver, FontWithoutFactsFallsBackToDefaultsAndTheFileStem) {
  ShapeOpts opts = request();
  opts.font = not_a_font_path;
  auto result = tesvo::shape_value(opts);
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_EQ(result->find("upem")->as_uint(), 2048u);
  EXPECT_EQ(result->find("glyph_count")->as_uint(), 0u);
  EXPECT_EQ(result->find("font_info")->find("family")->as_string(), "tesvo_9_3");
}

TEST_F(Driver, TraceOptionReachesTheRun) {
  ShapeOpts opts = request();
  opts.trace = true;
  ASSERT_TRUE(tesvo::shape_value(opts).ok());
  EXPECT_EQ(port.log(), "BITbSnePFC");
}

TEST_F(Driver, FailedRunStillFreesTheCacheAndClearsTheFontOnce) {
  port.state->shape = BackendShape::Fail;
  EXPECT_EQ(error_of(tesvo::shape_value(request())), "ScriptShapeOpenType tag=0x746c6664: E_INVALIDARG (0x80070057)");
  EXPECT_EQ(port.log(), "BITSFC");
  EXPECT_EQ(port.state->font_intact_at_clear, 1);
  EXPECT_EQ(port.state->free_saw_filled_cache, 1);
}

TEST_F(Driver, EngineFailureInTheRunPropagatesAfterTheCacheAndFontAreReleased) {
  port.state->shape = BackendShape::TooManyGlyphs;
  EXPECT_THROW((void)tesvo::shape_value(request()), tesvo::EnginePanic);
  EXPECT_EQ(port.log(), "BITSFC");
  EXPECT_EQ(port.state->font_intact_at_clear, 1);
  EXPECT_EQ(port.state->free_saw_filled_cache, 1);
}

TEST_F(Driver, ConcurrentRequestsUseThePortOneAtATime) {
  port.state->shape_sleep_ms = 20;
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 3; ++i)
        if (!tesvo::shape_value(request()).ok()) ++failures[static_cast<std::size_t>(t)];
    });
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(failures, (std::vector<int>{0, 0, 0, 0}));
  EXPECT_EQ(port.state->most_sessions_open, 1);
  EXPECT_EQ(port.state->sessions_open, 0);
}

// The request's text reaches the backend as UTF-16: each maximal invalid
// sequence one U+FFFD, as decode_utf8 reads it.
TEST(Utf8Text, BecomesUtf16CharacterByCharacter) {
  const struct {
    std::string_view utf8;
    std::u16string_view utf16;
  } cases[] = {{"", u""},
               {"a\xc3\xa9 \xd8\xb9\xd8\xb1\xd8\xa8\xd9\x8a", u"a\u00e9 \u0639\u0631\u0628\u064a"},
               {"\xe0\xa4\xb9\xf0\x9f\x98\x80!", u"\u0939\U0001F600!"},
               {"\xc3", u"\ufffd"},
               {"\xc3(\xdf", u"\ufffd(\ufffd"},
               {"\xc0\xaf\xed\xa0\x80", u"\ufffd\ufffd\ufffd\ufffd\ufffd"},
               {"\xf0\x9f\x98", u"\ufffd"}};
  for (const auto &c : cases) EXPECT_EQ(tesvo::utf8_to_utf16(c.utf8), c.utf16) << c.utf8;
}

TEST_F(Driver, TextIsLimitedToWhatTheBackendsIntBuffersCanHoldInUtf16Units) {
  // 3n + 8 must fit a signed 32-bit int: n = 715827879 is the longest text.
  // One 'é' makes the UTF-8 text a byte longer than its UTF-16 form.
  constexpr std::size_t kLongest = 715827879;
  std::string text(kLongest + 1, 'a');
  text.replace(0, 2, "\xc3\xa9");

  port.state->set_font_bytes_rc = -5;  // stop right after the length check
  ShapeOpts longest = request();
  longest.text = text;
  EXPECT_EQ(error_of(tesvo::shape_value(std::move(longest))), "usp_set_font_bytes failed (rc=-5)");
  EXPECT_EQ(port.log(), "B");

  // One unit more: refused after the empty-text check, before the port is asked
  // for anything (even before the missing font-bytes export is noticed).
  text += 'a';
  ShapeOpts too_long = request();
  too_long.usp10 = TEST_BACKEND_PLAIN;
  too_long.text = std::move(text);
  EXPECT_EQ(error_of(tesvo::shape_value(std::move(too_long))), "text too long: 715827880 UTF-16 code units");
  EXPECT_EQ(plain.log(), "");
}

TEST_F(Driver, EngineEntryRendersTheDocumentOrPassesTheMessageOn) {
  auto text = tesvo::shape_json(request());
  ASSERT_TRUE(text.ok()) << text.error();
  auto doc = tesvo::shape_value(request());
  ASSERT_TRUE(doc.ok());
  EXPECT_EQ(text->view(), tesvo::render_json(*doc).view());

  auto failed = tesvo::shape_json(request(""));
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error(), "empty text");
}

// ---- loader ------------------------------------------------------------------------------------

template <class Fn> void *address_of(Fn *fn) {
  void *p = nullptr;
  std::memcpy(&p, &fn, sizeof p);
  return p;
}

TEST_F(Driver, LoaderFailuresHaveTheirMessages) {
  using namespace std::string_literals;
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {"ab\0c"s, "bad module path: nul byte found in provided data at position: 2"},
      {"\0"s, "bad module path: nul byte found in provided data at position: 0"},
      {"/nonexistent/x.so", "dlopen(/nonexistent/x.so) failed (libvantor not built?)"},
      {TEST_BACKEND_ITEMIZE_ONLY, "ScriptShapeOpenType missing in module"},
  };
  for (const auto &[path, message] : cases) {
    auto usp = tesvo::Usp10::load(path);
    ASSERT_FALSE(usp.ok()) << message;
    EXPECT_EQ(usp.error(), message);
  }
}

TEST_F(Driver, LoadedTableHoldsEveryExportAndEmptyOptionalSlots) {
  auto full = tesvo::Usp10::load(port.path);
  ASSERT_TRUE(full.ok()) << full.error();
  const std::pair<void *, const char *> slots[] = {
      {address_of(full->itemize), "ScriptItemizeOpenType"},
      {address_of(full->shape), "ScriptShapeOpenType"},
      {address_of(full->place), "ScriptPlaceOpenType"},
      {address_of(full->free_cache), "ScriptFreeCache"},
      {address_of(full->font_script_tags), "ScriptGetFontScriptTags"},
      {address_of(full->trace_begin), "usp_trace_begin"},
      {address_of(full->trace_count), "usp_trace_count"},
      {address_of(full->trace_stage), "usp_trace_stage"},
      {address_of(full->trace_stop), "usp_trace_stop"},
      {address_of(full->set_font_bytes), "usp_set_font_bytes"},
      {address_of(full->clear_font_bytes), "usp_clear_font_bytes"},
  };
  for (const auto &[address, symbol] : slots) EXPECT_EQ(address, ::dlsym(port.handle, symbol)) << symbol;
  EXPECT_EQ(full->library, port.handle);

  auto bare = tesvo::Usp10::load(plain.path);
  ASSERT_TRUE(bare.ok()) << bare.error();
  EXPECT_EQ(address_of(bare->itemize), ::dlsym(plain.handle, "ScriptItemizeOpenType"));
  EXPECT_NE(bare->font_script_tags, nullptr);
  EXPECT_EQ(bare->library, plain.handle);
  EXPECT_EQ(bare->trace_begin, nullptr);
  EXPECT_EQ(bare->trace_count, nullptr);
  EXPECT_EQ(bare->trace_stage, nullptr);
  EXPECT_EQ(bare->trace_stop, nullptr);
  EXPECT_EQ(bare->set_font_bytes, nullptr);
  EXPECT_EQ(bare->clear_font_bytes, nullptr);

  auto again = tesvo::Usp10::load(port.path);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->library, full->library);
}

TEST_F(Driver, GivenPathWinsOverTheEnvironment) {
  ::setenv("TESVO_VANTOR", "/nonexistent/env.so", 1);
  auto given = tesvo::Usp10::load(port.path);
  ASSERT_TRUE(given.ok()) << given.error();
  EXPECT_EQ(given->library, port.handle);
  EXPECT_EQ(tesvo::Usp10::load(std::nullopt).error(), "dlopen(/nonexistent/env.so) failed (libvantor not built?)");

  ::setenv("TESVO_VANTOR", port.path.c_str(), 1);
  EXPECT_EQ(tesvo::Usp10::load(std::string("/nonexistent/given.so")).error(),
            "dlopen(/nonexistent/given.so) failed (libvantor not built?)");
  auto from_environment = tesvo::Usp10::load(std::nullopt);
  ASSERT_TRUE(from_environment.ok()) << from_environment.error();
  EXPECT_EQ(from_environment->library, port.handle);

  // A request without a library path takes the environment's.
  ShapeOpts opts = request();
  opts.usp10.reset();
  EXPECT_TRUE(tesvo::shape_value(opts).ok());
  EXPECT_EQ(port.log(), "BITSPFC");
}

TEST_F(Driver, DefaultLibraryNameWhenTheEnvironmentIsUnsetOrNotUnicode) {
  void *installed = ::dlopen("libvantor.so", RTLD_NOW);
  if (installed != nullptr) GTEST_SKIP() << "a libvantor.so is on the loader's search path";
  const char *const message = "dlopen(libvantor.so) failed (libvantor not built?)";
  EXPECT_EQ(tesvo::Usp10::load(std::nullopt).error(), message);
  ::setenv("TESVO_VANTOR", "/nonexistent/\xff\xfe.so", 1);
  EXPECT_EQ(tesvo::Usp10::load(std::nullopt).error(), message);
}

}  // namespace
