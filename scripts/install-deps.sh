#!/bin/sh
# Installs the Debian 12 packages that a task needs; without an argument,
# everything that building, running, testing and benchmarking need (what CI
# runs). Non-interactive and idempotent: when everything is installed it
# does nothing, needs no privileges and asks for none. Otherwise it runs
# apt-get as root, through sudo when it is not root itself.
#
#   install-deps.sh [all|demo|sample]
#     demo    building the program and dictating on this machine's audio server
#     sample  the private PulseAudio server and the spoken sample that the demo
#             falls back to on a machine without an audio server or microphone
#
# The demo alone installs no audio server: a desktop keeps the one it runs.
set -eu
build="
  build-essential cmake pkg-config binutils
  nlohmann-json3-dev libgtest-dev libgmock-dev
  libsoxr-dev libpulse-dev libcurl4-openssl-dev libarchive-dev nettle-dev
  libpocketsphinx-dev libsphinxbase-dev pocketsphinx-en-us pulseaudio-utils python3 wamerican
  sphinxtrain sphinxbase-utils pocketsphinx
"
sample="pulseaudio espeak-ng sox"
tests="libbenchmark-dev pocketsphinx-testdata procps pipewire pipewire-pulse wireplumber dbus lintian"
case "${1:-all}" in
  all) packages="$build $sample $tests" ;;
  demo) packages=$build ;;
  sample) packages=$sample ;;
  *) echo "usage: $0 [all|demo|sample]" >&2; exit 2 ;;
esac
# One query for all: the demo runs this on every start.
# shellcheck disable=SC2086
installed=" $(dpkg-query -W -f='${Package} ${Status}\n' $packages 2>/dev/null |
  awk '$4 == "installed" { printf "%s ", $1 }')"
missing=""
for p in $packages; do
  case "$installed" in *" $p "*) ;; *) missing="$missing $p" ;; esac
done
[ -n "$missing" ] || exit 0
as_root=""
if [ "$(id -u)" -ne 0 ]; then
  echo "installing with sudo:$missing" >&2
  as_root=sudo
fi
$as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
# shellcheck disable=SC2086
$as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
