"""tesvo serve: a live workbench in the browser over the fonts given.

    tesvo serve NotoSansDevanagari-Regular.ttf Inter.var.ttf
    tesvo serve --port 8800 --no-browser old.ttf new.ttf
"""

from __future__ import annotations

import argparse
import os
import sys
import textwrap

import tesvo.cli.arguments as arguments


def build_parser(prog: str) -> argparse.ArgumentParser:
    p = arguments.Parser(
        prog=prog,
        description=textwrap.fill(
            "Serve a page on this machine that shapes as you type, every font given on its own line: "
            "the Uniscribe port's glyphs beside HarfBuzz's and HarfRust's, feature toggles, axis "
            "sliders, the trace step by step. A font rebuilt on disk is shaped again in the page. "
            "Prints the page's address, with its token, on one line.", width=78),
        epilog=arguments.EXIT_TABLE, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("fonts", metavar="FONT", nargs="+", help="the font files to serve")
    p.add_argument("--port", type=int, default=0, help="the port to listen on (default: a free one)")
    p.add_argument("--host", default="127.0.0.1",
                   help="the address to listen on (default 127.0.0.1, this machine only)")
    p.add_argument("--no-browser", action="store_true", help="do not open the page in a browser")
    return p


def run(args: argparse.Namespace, prog: str) -> int:
    from tesvo.serve import serve

    if not 0 <= args.port <= 65535:
        raise arguments.UsageError(f"port {args.port} out of range: 0 to 65535")
    for path in args.fonts:
        if not os.path.isfile(path):
            raise arguments.UsageError(f"cannot read font {path!r}: no such file")

    def say(line: str) -> None:
        print(line, flush=True)

    serve([os.path.abspath(p) for p in args.fonts], host=args.host, port=args.port, browser=not args.no_browser,
          say=say)
    print(f"{prog}: stopped", file=sys.stderr)
    return 0
