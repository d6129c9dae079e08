# Shared by the scripts in this folder; sourced, not run.

step() { printf '\n== %s\n' "$*"; }

# Installs whichever of the named Debian packages are missing (as root; otherwise says which).
need_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  step "installing ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root or install them)" >&2
    exit 1
  fi
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}
