# shellcheck shell=bash
# Sourced by the set-up scripts (which run under set -e): the progress lines of
# progress.sh, and installing Debian packages as root.

# shellcheck source=scripts/progress.sh
source "$(dirname "${BASH_SOURCE[0]}")/progress.sh"

# as_root COMMAND...: runs COMMAND as root, through sudo unless already root.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# debian_package_installed PACKAGE: whether dpkg holds PACKAGE installed.
debian_package_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# apt_install PACKAGE...: refreshes the package lists and installs PACKAGE...
# without their recommendations, asking nothing.
apt_install() {
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"
}
