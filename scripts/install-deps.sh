#!/bin/sh
# Installs every Debian 12 package that building, running, testing and
# benchmarking need. Non-interactive and idempotent; run as root.
set -eu
packages="
  build-essential cmake pkg-config binutils
  nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev
  libsoxr-dev libpulse-dev libcurl4-openssl-dev libarchive-dev nettle-dev
  libpocketsphinx-dev libsphinxbase-dev pocketsphinx-en-us pocketsphinx pocketsphinx-testdata wamerican
  pulseaudio pulseaudio-utils espeak-ng sox python3 procps
"
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends $missing
fi
