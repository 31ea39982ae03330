#!/bin/sh
# Builds the Debian package: the plain flavour's programs, module and
# documents (the target dictate_shipped), installed under /usr and packed
# by CPack with the run-time dependencies that dpkg-shlibdeps finds plus
# those packaging/install.cmake lists. Writes the package's path on
# standard output, everything else on standard error.
#
#   package.sh [--lint]
#     --lint   also runs lintian on the package; fails on an error
set -eu
cd "$(dirname "$0")/.."
lint=no
case "${1:-}" in
  "") ;;
  --lint) lint=yes ;;
  *) echo "usage: $0 [--lint]" >&2; exit 2 ;;
esac
scripts/build.sh plain dictate_shipped >&2
rm -rf build/package
(cd build && cpack -G DEB) >&2
deb=$(ls build/package/quillmarsh-dictate_*.deb)
if [ "$lint" = yes ]; then
  # Built by a script, not from a Debian source package: nothing to sign.
  lintian --fail-on error --no-tag-display-limit "$deb" >&2
fi
echo "$deb"
