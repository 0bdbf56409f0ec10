# apt_need PACKAGE...: installs the Debian packages among those named that are
# not installed yet (as root; one apt-get update first). Sourced by the scripts.
apt_need() {
  local missing=() pkg
  for pkg in "$@"; do
    [ -n "$pkg" ] || continue
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "== installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
