# Shared by the install-deps scripts (sourced, not run): installs the Debian
# packages of the caller's list that are not installed yet.

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# install_missing_packages TAG PACKAGE...
install_missing_packages() {
  local tag=$1 p
  shift
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  printf '[%s] installing: %s\n' "$tag" "${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
