# Sourced by the set-up and build scripts.

# install_missing_packages NAME... installs with apt-get (as root) those of
# the named Debian packages that are missing.
install_missing_packages() {
  local package missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# logged LOG COMMAND...: runs a long-winded command with its output in LOG,
# shown only when it fails.
logged() {
  local log=$1
  shift
  "$@" >"$log" 2>&1 || { tail -n 40 "$log" >&2; echo "failed: $* (log: $log)" >&2; return 1; }
}
