#!/bin/sh
# Installs the Debian packages named as arguments that are not installed yet,
# through apt-get, as root or through sudo. Does nothing when every one is
# already present, so repeated runs are cheap. Waits for another apt run
# to finish rather than failing on its lock.
set -eu

missing=""
for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    SUDO=""
else
    SUDO="sudo"
fi
echo "installing:$missing"
$SUDO apt-get -o DPkg::Lock::Timeout=900 update
# $missing is a list of words on purpose.
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=900 install -y --no-install-recommends $missing
