#!/usr/bin/env bash
# Runs both README commands on Debian 13 (trixie: HarfBuzz 10, ICU 76, GCC 14, Python 3.13)
# from a fresh clone of this checkout, inside a Debian 13 root made with debootstrap. Exits 0
# only if both pass. Too slow for CI; run it by hand before a change that touches the build,
# the backend or the trace lands.
#
# The root is kept (default /tmp/tesvo-debian13-root, or $DEBIAN13_ROOT) so a second run skips
# debootstrap and reuses the packages installed by the first; the clone inside it is made anew
# each run. The host's pip configuration, and the certificate bundle and files it names, are
# copied in (local indexes are bound read-only), so pip works inside as it does here.
set -euo pipefail

SRC="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ROOT_DIR="${DEBIAN13_ROOT:-/tmp/tesvo-debian13-root}"
MIRROR="${DEBIAN13_MIRROR:-http://deb.debian.org/debian}"
SHARED="$(cd "$SRC/.." && pwd)/shared"

[ "$(id -u)" = 0 ] || { echo "debian13_check: needs root (debootstrap, chroot, mounts)" >&2; exit 2; }
source "$SRC/tools/apt_need.sh"
apt_need debootstrap git

if [ ! -f "$ROOT_DIR/.tesvo-root-ready" ]; then
  echo "== debootstrap trixie into $ROOT_DIR"
  rm -rf "$ROOT_DIR"
  debootstrap --variant=minbase --include=ca-certificates,git,python3,python3-venv \
    trixie "$ROOT_DIR" "$MIRROR"
  touch "$ROOT_DIR/.tesvo-root-ready"
fi

MOUNTS=()
cleanup() {
  local i
  for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do
    umount -l "${MOUNTS[$i]}" 2>/dev/null || true
  done
}
trap cleanup EXIT

bind() { # bind SOURCE TARGET-IN-ROOT [ro]; a mount already there (another user of the root) is left alone
  mkdir -p "$ROOT_DIR$2"
  if mountpoint -q "$ROOT_DIR$2"; then return 0; fi
  mount --rbind "$1" "$ROOT_DIR$2"
  MOUNTS+=("$ROOT_DIR$2")
  if [ "${3:-}" = ro ]; then mount -o remount,bind,ro "$ROOT_DIR$2"; fi
}

bind /proc /proc
bind /sys /sys
bind /dev /dev
cp -L /etc/resolv.conf "$ROOT_DIR/etc/resolv.conf"

# pip's configuration and what it names: the certificate bundle and constraint files are
# copied; local package folders (find-links, file:// indexes with the files their pages link
# to, one folder up) are bound read-only.
copy_in() { [ -e "$1" ] || return 0; mkdir -p "$ROOT_DIR$(dirname "$1")"; cp -L "$1" "$ROOT_DIR$1"; }
for conf in /etc/pip.conf /etc/xdg/pip/pip.conf "$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf"; do
  copy_in "$conf"
done
PIP_ENV=()
while IFS='=' read -r name value; do
  PIP_ENV+=("$name=$value")
done < <(env | grep -E '^(PIP_[A-Z_]+|SSL_CERT_FILE|SSL_CERT_DIR|REQUESTS_CA_BUNDLE|CURL_CA_BUNDLE)=' || true)
named_paths() {
  { python3 -m pip config list 2>/dev/null | sed -E "s/^[^=]+='?//; s/'$//"
    printf '%s\n' "${PIP_ENV[@]+"${PIP_ENV[@]}"}" | sed -E 's/^[^=]+=//'; } |
    tr ' ' '\n' | sed -E 's#^file://##; s#/simple/?$##' | grep '^/' | sort -u
}
while read -r path; do
  if [ -f "$path" ]; then
    copy_in "$path"
  elif [ -d "$path" ] && [ "$path" != /etc/ssl/certs ]; then
    bind "$path" "$path" ro
  fi
done < <(named_paths)
# The system's bundle: pip and git inside use it when the host's names it.
copy_in /etc/ssl/certs/ca-certificates.crt

echo "== fresh clone of $SRC into the root"
rm -rf "$ROOT_DIR/work"
mkdir -p "$ROOT_DIR/work"
git clone -q "$SRC" "$ROOT_DIR/work/main"
if [ -d "$SHARED" ]; then cp -r "$SHARED" "$ROOT_DIR/work/shared"; fi

run_in_root() {
  chroot "$ROOT_DIR" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    ${PIP_ENV[@]+"${PIP_ENV[@]}"} bash -c "cd /work/main && $1"
}

echo "== Debian 13: $(cat "$ROOT_DIR/etc/debian_version")"
status=0
echo "== Debian 13: README main command (bash tools/main.sh)"
if run_in_root "bash tools/main.sh > /tmp/main.json && .venv/bin/python tools/check_main_output.py /tmp/main.json build/demo-report.html"; then
  echo "== Debian 13: main command passed"
else
  echo "== Debian 13: main command FAILED"; status=1
fi
echo "== Debian 13: README test command (bash tools/test.sh)"
if run_in_root "bash tools/test.sh"; then
  echo "== Debian 13: test command passed"
else
  echo "== Debian 13: test command FAILED"; status=1
fi
run_in_root "echo \"HarfBuzz \$(pkg-config --modversion harfbuzz), ICU \$(pkg-config --modversion icu-uc), \$(g++ --version | head -1), \$(python3 --version)\"" || true
exit $status
