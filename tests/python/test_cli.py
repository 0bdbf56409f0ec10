"""The tesvo-shape command, run as a person runs it: the installed script in a subprocess.

Shaping goes through the bundled backend; the tests that need it skip, saying why, when it
cannot be loaded. Every run gets its own TMPDIR, which must be empty afterwards.
"""

import fcntl
import json
import os
import pty
import signal
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest

import _tesvo
import tesvo

COMMAND = Path(sys.executable).parent / "tesvo-shape"
DEJAVU = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")
MIXED = "Hello, \u0645\u0631\u062d\u0628\u0627 \u0628\u0627\u0644\u0639\u0627\u0644\u0645 123!"
ARABIC = "\u0645\u0631\u062d\u0628\u0627"
NOTO = Path("/usr/share/fonts/truetype/noto")
CJK = Path("/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc")


def clean_env(tmpdir, **extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("TESVO_")}
    env.update(TMPDIR=str(tmpdir), **extra)
    return env


def run_command(args, tmpdir, stdin=b"", stderr=subprocess.PIPE, **env):
    assert COMMAND.is_file(), f"{COMMAND} is not installed (pip install the project)"
    return subprocess.run([str(COMMAND), *map(str, args)], input=stdin, stdout=subprocess.PIPE,
                          stderr=stderr, env=clean_env(tmpdir, **env), timeout=120)


class Cli:
    def __init__(self, tmp_path):
        self.files, self.tmpdir = tmp_path, tmp_path / "tmpdir"
        self.tmpdir.mkdir()

    def run(self, *args, stdin=b"", **env):
        return run_command(args, self.tmpdir, stdin, **env)

    def file(self, name, data):
        (self.files / name).write_bytes(data if isinstance(data, bytes) else data.encode())
        return self.files / name


@pytest.fixture
def cli(tmp_path):
    yield (c := Cli(tmp_path))
    assert list(c.tmpdir.iterdir()) == [], "temporary font files left behind"


@pytest.fixture(scope="session")
def bundled_backend(tmp_path_factory):
    """Skips when the bundled backend cannot be loaded; any other failure is a failure."""
    done = run_command([DEJAVU, "a"], tmp_path_factory.mktemp("probe"))
    message = done.stderr.decode(errors="replace").strip()
    if done.returncode != 0 and "dlopen(" in message:
        pytest.skip(f"the bundled backend libvantor cannot be loaded: {message}")
    assert done.returncode == 0, message


def direct(text, **kw):
    """The module's own document for the request, as the command should print it."""
    return without_path(json.loads(_tesvo.shape_json(DEJAVU.read_bytes(), text, **kw)))


def without_path(doc):
    """The document without font_info.path, the one value that differs: the module's names
    its temporary file, the command's the font file."""
    path = doc["font_info"].pop("path")
    assert path.endswith(".font") or path == str(DEJAVU), path
    return doc


def printed(done):
    assert done.returncode == 0, done.stderr.decode()
    out = done.stdout.decode()
    assert out.endswith("}\n") and out.startswith('{\n  "engine"'), "not the module's JSON text"
    return without_path(json.loads(out))


def one_error_line(done, status, hint=False):
    """A failure is one line on standard error (and with `hint`, one more line of help), no
    traceback, nothing on standard output. Returns the message line, or both lines."""
    err = done.stderr.decode()
    assert done.returncode == status, err
    assert done.stdout == b""
    lines = err.splitlines()
    assert err.endswith("\n") and len(lines) == 1 + hint and err.startswith("tesvo-shape: "), err
    assert not hint or lines[1].startswith("tesvo-shape: hint: "), err
    assert "Traceback" not in err
    return err.strip()


@pytest.fixture
def no_env_backend(monkeypatch):
    monkeypatch.delenv("TESVO_VANTOR", raising=False)


# ---- one text ----


@pytest.mark.usefixtures("bundled_backend", "no_env_backend")
class TestShapeOneText:
    @pytest.mark.parametrize("args", [
        ["--features", "-kern", "--format", "text", DEJAVU, "AVA"],  # hb-shape's spelling
        [DEJAVU, "--features=-kern", "AVA", "--format", "text"],  # options after FONT and TEXT
    ])
    def test_options_are_read_as_hb_shape_users_write_them(self, cli, args):
        done = cli.run(*args)
        expected = tesvo.Font(DEJAVU).shape("AVA", features="-kern").to_text()
        assert done.returncode == 0 and done.stdout.decode() == expected + "\n", done.stderr

    @pytest.mark.parametrize(
        "args, kwargs",
        [
            ([], {}),
            (["--trace"], {"trace": True}),
            (["--direction", "rtl"], {"direction": "rtl"}),
            (["--wine-bytes"], {"wine_bytes": True}),
        ],
    )
    def test_prints_what_the_module_returns_for_the_same_arguments(self, cli, args, kwargs):
        assert printed(cli.run(*args, DEJAVU, MIXED)) == direct(MIXED, **kwargs)

    def test_the_command_is_also_installed_as_tesvo(self, cli):
        done = subprocess.run([str(COMMAND.with_name("tesvo")), str(DEJAVU), MIXED],
                              capture_output=True, env=clean_env(cli.tmpdir), timeout=120)
        assert printed(done) == direct(MIXED)

    def test_subcommands_and_a_font_file_named_like_one(self, cli):
        done = subprocess.run([sys.executable, "-m", "tesvo", "--help"], capture_output=True, timeout=60)
        assert done.returncode == 0 and "{shape,compare,coverage,serve}" in done.stdout.decode()
        named = cli.file("compare", DEJAVU.read_bytes())
        for args in (["shape", named.name, MIXED], ["./compare", MIXED], ["shape", "./compare", MIXED]):
            done = subprocess.run([str(COMMAND), *args], capture_output=True, cwd=cli.files,
                                  env=clean_env(cli.tmpdir), timeout=120)
            assert done.returncode == 0, done.stderr.decode()
            doc = json.loads(done.stdout)
            assert doc["font_info"].pop("path") == str(named)
            assert doc == direct(MIXED)

    def test_standard_input_and_text_file_give_the_same_text_as_the_argument(self, cli):
        expected = direct(MIXED)
        assert printed(cli.run(DEJAVU, "-", stdin=(MIXED + "\n").encode())) == expected
        with_bom_and_crlf = cli.file("text.txt", b"\xef\xbb\xbf" + (MIXED + "\r\n").encode())
        assert printed(cli.run("--text-file", with_bom_and_crlf, DEJAVU)) == expected


@pytest.mark.usefixtures("bundled_backend", "no_env_backend")
class TestThroughThePackage:
    @pytest.mark.parametrize("extra", [[], ["--trace"], ["--direction", "rtl"]])
    def test_default_output_is_shape_json_text_naming_the_font_file(self, cli, extra):
        module = _tesvo.shape_json(DEJAVU.read_bytes(), MIXED, **shape_kwargs(extra))
        temporary = json.dumps(json.loads(module)["font_info"]["path"])
        done = cli.run(*extra, DEJAVU, MIXED)
        assert done.stdout.decode() == module.replace(temporary, json.dumps(str(DEJAVU))) + "\n"

    @pytest.mark.parametrize("font, text, args, options", [
        (NOTO / "NotoSans-Regular.ttf", "Wave", ["--features", "smcp"], {"features": "smcp"}),
        (NOTO / "NotoSans-Regular.ttf", "\u0431\u0433\u0434", ["--language", "SRB"], {"language": "SRB"}),
        (NOTO / "NotoSansMalayalam-Regular.ttf", "\u0d15\u0d4d\u0d30", ["--script", "mlym"], {"script": "mlym"}),
        (CJK, "\u9aa8\u76f4\u5224", ["--index", "1"], {}),
    ], ids=["features", "language", "script", "index"])
    def test_options_take_effect_in_both_schemas(self, cli, font, text, args, options):
        if not font.is_file():
            pytest.skip(f"{font} is missing")
        expected = tesvo.Font(font, index=int("--index" in args)).shape(text, **options)
        ids = [g.id for g in expected.glyphs]
        assert ids != [g.id for g in tesvo.Font(font).shape(text).glyphs]
        done = cli.run(*args, font, text)
        assert [g["g"] for g in json.loads(done.stdout)["final"]] == ids, done.stderr
        done = cli.run("--schema", "tesvo", *args, font, text)
        assert json.loads(done.stdout) == expected.to_dict()
        lines = done.stdout.decode().splitlines()
        assert sum(line.startswith('    {"id": ') for line in lines) == len(expected.glyphs)  # a glyph a line

    def test_batch_in_the_package_schema_keeps_order_and_errors_across_workers(self, cli):
        texts = ["Wave", "", "office"] * 20
        path = cli.file("words.txt", "\n".join(texts) + "\n")
        font = NOTO / "NotoSans-Regular.ttf"
        done = cli.run("--batch", path, "--schema", "tesvo", "--features", "smcp", "-j", "2", font)
        assert done.returncode == 1, done.stderr
        got = [json.loads(line) for line in done.stdout.decode().splitlines()]
        shaper = tesvo.Font(font)
        assert got == [{"line": n, "text": t, "error": "empty text"} if not t else
                       {"line": n, "text": t, "result": shaper.shape(t, features="smcp").to_dict()}
                       for n, t in enumerate(texts, 1)]


    def test_direction_auto_says_which_rule_an_output_took_where_the_two_part(self, cli):
        naskh, mixed = NOTO / "NotoNaskhArabic-Regular.ttf", "I said \u0645\u0631\u062d\u0628\u0627 to them."
        package = cli.run("--schema", "tesvo", "--html", cli.file("r.html", ""), naskh, mixed)
        assert b"this output is left to right by the first strong character" in package.stderr
        assert [i["rtl"] for i in json.loads(package.stdout)["items"]][0] is False
        assert b"note:" not in cli.run(naskh, mixed).stderr  # the default JSON keeps its rule quietly
        assert b"note:" not in cli.run("--format", "text", naskh, "\u0645\u0631\u062d\u0628\u0627").stderr

def zeros_2gib(files):
    path = files / "zeros.ttf"
    with open(path, "wb") as f:
        f.truncate(2 << 30)  # sparse: made at once, read for seconds
    return path


def fifo_without_writer(files):
    os.mkfifo(files / "fifo.ttf")
    return files / "fifo.ttf"


@pytest.mark.usefixtures("bundled_backend", "no_env_backend")
class TestFontFile:
    @pytest.mark.parametrize("make, message", [
        (lambda files: "/dev/zero", "not a regular file or a pipe"),
        (zeros_2gib, "is not an OpenType or TrueType font or collection (it starts with b'\\x00\\x00\\x00\\x00')"),
        (fifo_without_writer, "no one wrote to the pipe within"),
    ], ids=["device", "2 GiB of zeros", "fifo without writer"])
    def test_what_cannot_be_a_font_is_refused_from_its_first_bytes(self, cli, make, message):
        from tesvo.fontfile import WRITER_WAIT_S

        start = time.monotonic()
        done = cli.run(make(cli.files), "abc")
        assert message in one_error_line(done, 2)
        assert time.monotonic() - start < WRITER_WAIT_S + 5

    @pytest.mark.parametrize("shell", ['"$T" <(cat "$F") abc', 'cat "$F" | "$T" /dev/stdin abc',
                                       'cat "$F" | "$T" --batch "$B" -j 2 /dev/stdin'])
    def test_a_font_from_a_pipe_is_read_once(self, cli, shell):
        batch = cli.file("lines.txt", "abc\nabc\n")
        done = subprocess.run(["bash", "-c", shell], capture_output=True, timeout=120,
                              env=clean_env(cli.tmpdir, T=str(COMMAND), F=str(DEJAVU), B=str(batch)))
        assert done.returncode == 0, done.stderr.decode()
        docs = [json.loads(line) for line in done.stdout.splitlines()] if "--batch" in shell else [
            {"result": json.loads(done.stdout)}]
        for doc in docs:
            assert doc["result"]["font_info"].pop("path").startswith("/dev/")
            assert doc["result"] == direct("abc")

    @pytest.mark.parametrize("args", [["--batch", "{lines}", "-j", "2", DEJAVU],
                                      ["compare", "--corpus", "latin", "-j", "2", DEJAVU, DEJAVU]],
                             ids=["batch", "compare"])
    def test_sigterm_to_the_parent_ends_the_workers_quietly(self, cli, args):
        lines = cli.file("slow.txt", "\n".join(f"w{n}" for n in range(40)))
        command = [str(COMMAND)] + [str(a).format(lines=lines) for a in args]
        proc = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                env=clean_env(cli.tmpdir, TESVO_PRESLEEP_MS="200"))
        time.sleep(4)  # the workers are shaping
        proc.send_signal(signal.SIGTERM)
        err = proc.communicate(timeout=60)[1].decode()
        name = "tesvo-shape compare" if args[0] == "compare" else "tesvo-shape"
        assert (proc.returncode, err) == (130, f"{name}: interrupted\n")


def shape_kwargs(args):
    return {"trace": "--trace" in args, "direction": args[1] if "--direction" in args else "auto"}


# ---- failures ----


@pytest.mark.usefixtures("bundled_backend")
class TestModuleErrors:
    @pytest.mark.parametrize(
        "args, status, message",
        [
            (["--features", "liga=x", DEJAVU, "abc"], 2,
             'bad feature "liga=x": feature value "x" must be a non-negative integer or on/off'),
            (["--index", "3", DEJAVU, "abc"], 2, "face index 3 out of range: the font has 1 face"),
            (["--textshaping", DEJAVU, "abc"], 2, "Windows-only"),
            ([DEJAVU, ""], 1, "empty text"),
        ],
    )
    def test_module_refusals_are_one_line_with_the_tables_status(self, cli, args, status, message):
        assert message in one_error_line(cli.run(*args), status)

    def test_backend_and_font_failures_keep_the_message_and_add_one_hint(self, cli):
        refused = cli.file("refused.ttf", b"OTTO" + b"this is not a font " * 20)
        err = one_error_line(cli.run(refused, "abc"), 2, hint=True)
        assert err.startswith("tesvo-shape: usp_set_font_bytes failed (rc=2)\n"), err
        assert "not an OpenType or TrueType font" in err
        err = one_error_line(cli.run("--usp10", refused, DEJAVU, "abc"), 2, hint=True)
        assert err.startswith(f"tesvo-shape: dlopen({refused}) failed (libvantor not built?)\n")
        assert "invalid ELF header" in err  # the dynamic loader's own reason


class TestUsageErrors:
    @pytest.mark.parametrize(
        "args, message",
        [
            ([DEJAVU], "give the text as TEXT, --text-file or --batch"),
            ([DEJAVU, "abc", "--text-file", "x.txt"], "TEXT and --text-file cannot be used together"),
            ([DEJAVU, "--batch", "x.txt", "--html", "r.html"], "cannot be used with --batch"),
            (["--direction", "up", DEJAVU, "abc"], "invalid choice: 'up'"),
            (["--batch", "x.txt", "-j", "0", DEJAVU], "-j/--jobs must be 1 or more"),
            (["-j", "2", DEJAVU, "abc"], "-j/--jobs spreads the lines of --batch"),
            (["--script", "arabic", DEJAVU, "abc"], "--script 'arabic' is not an OpenType tag"),
            (["--language", "\u00e9", DEJAVU, "abc"], "--language '\u00e9' is neither an OpenType tag"),
            (["--frobnicate", DEJAVU, "abc"], "unrecognized arguments: --frobnicate"),
            (["--index", str(2**64), DEJAVU, "abc"], "face index 18446744073709551616 out of range"),
            (["/nonexistent/font.ttf", "abc"], "cannot read font '/nonexistent/font.ttf'"),
            ([DEJAVU, "--text-file", "/nonexistent/t.txt"], "cannot read text file"),
            ([DEJAVU, "--batch", "/nonexistent/b.txt"], "cannot read batch file"),
        ],
    )
    def test_are_one_line_with_status_2(self, cli, args, message):
        assert message in one_error_line(cli.run(*args), 2)

    @pytest.mark.parametrize("args", [[DEJAVU, "abc"], ["--batch", "-", DEJAVU], ["compare", "--corpus", "latin", DEJAVU, DEJAVU]],
                             ids=["shape", "batch", "compare"])
    def test_output_that_cannot_be_written_is_one_line_with_status_2(self, cli, args):
        with open("/dev/full", "wb") as full:
            done = subprocess.run([str(COMMAND), *map(str, args)], input=b"a\nb\n", stdout=full,
                                  stderr=subprocess.PIPE, env=clean_env(cli.tmpdir), timeout=120)
        assert done.returncode == 2 and done.stderr.decode().endswith(
            "cannot write standard output: No space left on device\n") and done.stderr.count(b"\n") == 1

    def test_text_that_is_not_utf8_is_refused_not_shaped(self, cli):
        bad = cli.file("bad.txt", b"ab\xff\xfecd")
        assert "is not valid UTF-8 (byte 2)" in one_error_line(cli.run(DEJAVU, "--text-file", bad), 2)
        assert "is not valid UTF-8" in one_error_line(cli.run(DEJAVU, "-", stdin=b"\xc3("), 2)
        # Undecodable bytes on the command line reach Python as lone surrogates.
        raw = subprocess.run([bytes(COMMAND), bytes(DEJAVU), b"a\xffb"], capture_output=True,
                             env=clean_env(cli.tmpdir), timeout=60)
        assert "TEXT is not valid UTF-8" in one_error_line(raw, 2)

    @pytest.mark.usefixtures("bundled_backend")
    def test_a_report_that_cannot_be_written_is_an_error(self, cli):
        done = cli.run("--html", "/nonexistent/dir/r.html", DEJAVU, "abc")
        assert "cannot write '/nonexistent/dir/r.html'" in one_error_line(done, 2)


class TestHelpAndVersion:
    def test_version_is_the_modules(self, cli):
        done = cli.run("--version")
        assert done.returncode == 0
        assert done.stdout.decode().split() == ["_tesvo", _tesvo.__version__]

    def test_help_explains_every_option_with_an_example(self, cli):
        from tesvo.cli.shape import build_parser

        done = cli.run("--help")
        assert done.returncode == 0
        text = done.stdout.decode()
        assert "examples:" in text and "exit status" in text
        for action in build_parser()._actions:
            if action.dest in ("help", "version"):
                continue
            assert any(s in text for s in action.option_strings or [action.metavar])
            assert "e.g." in (action.help or ""), f"{action.dest} has no example"


# ---- batch ----


def records(done):
    out = []
    for line in done.stdout.decode().split("\n")[:-1]:
        record = json.loads(line)
        assert line == json.dumps(record, ensure_ascii=False, separators=(",", ":")), "not compact"
        out.append(record)
    for r in out:
        if "result" in r:
            without_path(r["result"])
    return out


@pytest.mark.usefixtures("bundled_backend", "no_env_backend")
class TestBatch:
    def test_one_record_per_line_in_order_with_failing_lines(self, cli):
        raw = "Hello\n\n".encode() + ARABIC.encode() + b"\r\n\xff\xfe bad\n" + b"last"
        done = cli.run("--batch", cli.file("lines.txt", raw), DEJAVU)
        assert done.returncode == 1, "a failing line makes the status 1"
        assert done.stderr == b""
        got = records(done)
        assert [r["line"] for r in got] == [1, 2, 3, 4, 5]
        assert got[0] == {"line": 1, "text": "Hello", "result": direct("Hello")}
        assert got[1] == {"line": 2, "text": "", "error": "empty text"}
        assert got[2] == {"line": 3, "text": ARABIC, "result": direct(ARABIC)}
        assert got[3]["error"] == "line is not valid UTF-8 (byte 0)"
        assert got[4]["result"] == direct("last")

    def test_options_apply_to_every_line_and_workers_keep_the_order(self, cli):
        texts = [f"{ARABIC} {n}" if n % 3 else f"line {n}" for n in range(30)]
        texts[7] = ""  # one failure in the middle
        path = cli.file("many.txt", "\n".join(texts) + "\n")
        one = cli.run("--batch", path, "--trace", DEJAVU)
        three = cli.run("--batch", path, "--trace", "-j", "3", DEJAVU)
        assert one.returncode == three.returncode == 1
        assert records(one) == records(three)
        got = records(three)
        assert [r["text"] for r in got] == texts
        assert got[3]["result"] == direct(texts[3], trace=True)

    def test_all_lines_shaped_is_status_0_and_stdin_works(self, cli):
        done = cli.run("--batch", "-", DEJAVU, stdin=b"a\nb\n")
        assert done.returncode == 0 and done.stderr == b""
        assert [r["text"] for r in records(done)] == ["a", "b"]

    def _on_terminal(self, cli, *extra):
        """Runs a slow batch with standard error on a terminal of 100 columns."""
        path = cli.file("slow.txt", "\n".join(f"w{n}" for n in range(40)))
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
        try:
            done = run_command(["--batch", path, *extra, DEJAVU], cli.tmpdir, stderr=slave,
                               TESVO_PRESLEEP_MS="40")
        finally:
            os.close(slave)
        seen = b""
        try:
            while chunk := os.read(master, 65536):
                seen += chunk
        except OSError:  # the terminal's other end is closed
            pass
        os.close(master)
        assert done.returncode == 0
        assert len(done.stdout.splitlines()) == 40
        return seen.decode(errors="replace")

    def test_progress_bar_shows_on_a_terminal_for_a_long_run(self, cli):
        assert "40/40" in self._on_terminal(cli)

    def test_progress_bar_can_be_turned_off(self, cli):
        assert "40/40" not in self._on_terminal(cli, "--no-progress")

    @pytest.mark.parametrize("words, lines, sig", [
        (["--batch", "{file}", "-j", "2", DEJAVU], 12, signal.SIGINT),
        (["compare", "--text-file", "{file}", "-j", "2", DEJAVU, DEJAVU], 600, signal.SIGTERM),
    ], ids=["batch-ctrl-c", "compare-sigterm"])
    def test_a_signal_at_any_moment_of_the_start_ends_the_run(self, cli, words, lines, sig):
        # From the command's first steps to the workers' first texts: before, while and after
        # the workers start. Each text pauses, so a run that lost the signal goes on for long.
        path = cli.file("slow.txt", "\n".join(f"w{n}" for n in range(lines)))
        args = [str(path) if w == "{file}" else str(w) for w in words]
        for delay in (0.3, 0.35, 0.4, 0.45, 0.5, 0.6, 0.7, 0.9, 1.2, 1.6):
            proc = subprocess.Popen([str(COMMAND), *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                    env=clean_env(cli.tmpdir, TESVO_PRESLEEP_MS="1500"), start_new_session=True)
            time.sleep(delay)
            os.killpg(proc.pid, sig)
            err = proc.communicate(timeout=60)[1].decode()
            # Ended as interrupted; or, when the signal came before the interpreter could
            # take it (its first moments, longer on a loaded machine), by the signal itself.
            ended = (proc.returncode == 130 and err.endswith(": interrupted\n") and err.count("\n") == 1) or (
                proc.returncode == -sig and err == "")
            assert ended, (delay, proc.returncode, err)
            # Nothing of the group goes on running. Every process of it has closed standard
            # error by now (communicate read to its end), so whatever is left is ending: a
            # killed worker not yet reaped, or the pool's resource tracker, which outlives
            # the command by the moment the kernel takes to end it on a loaded machine.
            deadline = time.monotonic() + 2
            while True:
                states = subprocess.run(["ps", "-o", "stat=", "-g", str(proc.pid)], capture_output=True,
                                        text=True).stdout.split()
                if all(state.startswith("Z") for state in states) or time.monotonic() > deadline:
                    break
                time.sleep(0.05)
            assert all(state.startswith("Z") for state in states), (delay, states)

    def test_ctrl_c_ends_workers_quietly_and_leaves_no_font_file(self, cli):
        path = cli.file("slow.txt", "\n".join(f"w{n}" for n in range(20)))
        # Each text pauses before it is shaped, so the workers are busy when Ctrl-C comes.
        proc = subprocess.Popen([str(COMMAND), "--batch", str(path), "-j", "2", str(DEJAVU)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                env=clean_env(cli.tmpdir, TESVO_PRESLEEP_MS="3000"),
                                start_new_session=True)
        time.sleep(2)  # the workers are inside their first pause
        os.killpg(proc.pid, signal.SIGINT)  # what a terminal sends to the whole group
        err = proc.communicate(timeout=60)[1].decode()
        assert proc.returncode == 130 and err == "tesvo-shape: interrupted\n", err


@pytest.mark.parametrize("raw", [b"", b"\n", b"a", b"a\nb\n", b"a\n\n", b"a\r\n\r\n", b"a\r", b"\xef\xbb\xbfa\nb",
                                 b"\xef\xbb\xbf", b"a\r\r\nb", b"ok\n\xffbad", b"\xef\xbb\xbfx\xff", b"abc\xe2\x82"])
def test_a_text_file_read_line_by_line_gives_the_lines_and_errors_of_one_read_whole(tmp_path, raw):
    from tesvo.cli import arguments

    path = tmp_path / "texts.txt"
    path.write_bytes(raw)

    def outcome(read):
        try:
            return read(str(path))
        except arguments.UsageError as e:
            return str(e)

    whole = outcome(lambda p: [line.rstrip("\r") for line in arguments.read_text_file(p).split("\n")])
    lines = outcome(lambda p: (lambda t: (list(t), len(t)))(arguments.TextFileLines(p)))
    assert lines == (whole, len(whole)) if isinstance(whole, list) else lines == whole
