# Sourced by tools/demo, tools/check and tools/vm-check:
#   install_packages LIST...
# Checks that the Debian packages named in the lists (one a line) are installed,
# and installs those that are missing, with what they depend on: directly as
# root, through sudo where it can be used, and otherwise returns 1 naming the one
# command to run as root. It says what it installs, and about how much, before it
# does. With IO_CARD_INSTALL=no it installs nothing and only names the command.
install_packages() {
  local me=tools/${0##*/} list package log sudo='' how
  local -a missing=() plan=()
  command -v dpkg-query >/dev/null || { echo "$me: no dpkg: install the packages of $* by hand"; return 0; }
  for list in "$@"; do
    while read -r package _; do
      [[ -z $package || $package == '#'* ]] && continue
      [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" = 'install ok installed' ] ||
        missing+=("$package")
    done <"$list"
  done
  [ ${#missing[@]} -gt 0 ] || return 0

  local install="apt-get install --no-install-recommends ${missing[*]}" why=''
  if [ "$(id -u)" -eq 0 ]; then
    how="run: apt-get update && $install"
  elif ! command -v sudo >/dev/null; then
    how="as root, run: su -c 'apt-get update && $install'" why='not root, and no sudo'
  else
    how="run: sudo sh -c 'apt-get update && $install'" sudo=sudo
    [ -t 0 ] || sudo -n true 2>/dev/null || why='sudo asks for a password, and there is no terminal'
  fi
  [ "${IO_CARD_INSTALL-}" != no ] || why='IO_CARD_INSTALL=no installs nothing'
  if [ -n "$why" ]; then
    printf '%s: missing %s: %s\n  %s\n  then run %s again.\n' "$me" "${missing[*]}" "$why" "$how" "$me" >&2
    return 1
  fi

  log=$(mktemp)
  echo "$me: missing ${missing[*]}: updating the package lists to install them"
  # Every package apt would install, dependencies included, with its version.
  if $sudo apt-get update -qq >"$log" 2>&1 &&
    mapfile -t plan < <(apt-get -s install --no-install-recommends "${missing[@]}" 2>>"$log" |
      awk '$1 == "Inst" { for (i = 3; i <= NF; i++) if ($i ~ /^\(/) { print $2 "=" substr($i, 2); break } }') &&
    [ ${#plan[@]} -gt 0 ]; then
    apt-cache show --no-all-versions "${plan[@]}" | awk -v me="$me" -v count=${#plan[@]} '
      function mb(bytes) { return bytes < 1e7 ? sprintf("%.1f MB", bytes / 1e6) : sprintf("%d MB", bytes / 1e6 + 0.5) }
      /^Size:/ { download += $2 } /^Installed-Size:/ { disk += $2 * 1024 }
      END { printf "%s: installing %d package%s (those and what they need): about %s to download, %s on disk\n",
                   me, count, count == 1 ? "" : "s", mb(download), mb(disk) }'
    if $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
      "${missing[@]}" >>"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
  fi
  tail -n 5 "$log" >&2
  rm -f "$log"
  printf '%s: could not install %s: apt-get failed (above)\n  %s\n' "$me" "${missing[*]}" "$how" >&2
  return 1
}
