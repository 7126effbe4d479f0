#!/usr/bin/env bash
# Installs into a scratch prefix and builds the Debian package, then runs the
# unpacked programs: what a user gets from cmake --install or dpkg. Then takes
# the install away again with uninstall.cmake, which must leave the package's
# files and every folder the install did not make.
set -eu
build=$1 version=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
files=(bin/io_card bin/io_card_sim share/man/man1/io_card.1.gz share/man/man1/io_card_sim.1.gz
       share/bash-completion/completions/io_card share/bash-completion/completions/io_card_sim
       share/zsh/vendor-completions/_io_card share/zsh/vendor-completions/_io_card_sim
       share/fish/vendor_completions.d/io_card.fish share/fish/vendor_completions.d/io_card_sim.fish
       share/doc/io-card/changelog.gz share/doc/io-card/copyright)

# A folder that was there before the install, with a file of someone else's.
mkdir -p "$scratch/prefix/bin" && touch "$scratch/prefix/bin/other"
rm -f "$build/installed.txt"  # left by a run of this test that failed half-way
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for file in "${files[@]}"; do
    [ -f "$scratch/prefix/$file" ] || { echo "not installed: $file"; exit 1; }
done

# cpack rewrites the build folder's install_manifest.txt with the package's /usr
# paths; the record that the uninstall reads must not follow.
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/package" >/dev/null
deb=$(echo "$scratch"/package/io-card_"$version"_*.deb)
dpkg-deb -f "$deb" Package Version Depends
dpkg-deb -f "$deb" Depends | grep -qx 'libc6 (>= [0-9.]*)' || { echo "depends on more than libc"; exit 1; }
# Any error or warning fails; lintian's own complaint about running as root does not.
lintian --fail-on error,warning "$deb" 2> >(grep -v 'running with root privileges' >&2)
dpkg-deb -x "$deb" "$scratch/unpacked"
[ "$("$scratch/unpacked/usr/bin/io_card" --version | head -n 1)" = "io_card $version" ]
[ "$("$scratch/unpacked/usr/bin/io_card_sim" --version | head -n 1)" = "io_card_sim $version" ]

if grep -v "^$scratch/prefix/" "$build/installed.txt"; then
    echo "installed.txt names more than the install into $scratch/prefix"; exit 1
fi
cmake -P "$build/uninstall.cmake" >/dev/null
left=$(cd "$scratch/prefix" && find . | sort | paste -sd ' ')
[ "$left" = ". ./bin ./bin/other" ] || { echo "left after the uninstall: $left"; exit 1; }
for file in "${files[@]}"; do
    [ -f "$scratch/unpacked/usr/$file" ] || { echo "the uninstall took the package's $file"; exit 1; }
done
[ ! -e "$build/installed.txt" ] || { echo "installed.txt is left after the uninstall"; exit 1; }
