#!/usr/bin/env bash
# Completes a few command lines with the bash completion script and checks the words offered.
set -u
source "$1"
failed=0
expect() {  # expect PATTERN WORD...: completing the last WORD offers words matching PATTERN
    local wanted=$1; shift
    COMP_WORDS=(io_card "$@"); COMP_CWORD=$#
    _io_card
    local got="${COMPREPLY[*]}"
    # shellcheck disable=SC2053
    if [[ $got != $wanted ]]; then echo "io_card $*<TAB>: got '$got', want '$wanted'"; failed=1; fi
}
expect 'on off' -3 ''
expect 'off' -p /dev/ttyS0 -8 of
expect '-p -s -g -1 -2 -3 -4 -5 -6 -7 -8 --pause -h --help --version' -p /dev/ttyS0 -
expect '--pause --help --version' --
expect '' -s ''
expect '' -p /dev/nul            # no terminal
expect '20 50 100 200 500 1000' --pause ''
expect '50 500' --pause = 5
# -p offers serial devices alone, whatever this machine has: never /dev/tty (on
# every Linux system), the console or a virtual console.
COMP_WORDS=(io_card -p /dev/); COMP_CWORD=2
_io_card
for word in "${COMPREPLY[@]}"; do
    case $word in
        /dev/ttyS* | /dev/ttyUSB* | /dev/ttyACM* | /dev/ttyAMA* | /dev/rfcomm* | /dev/serial/by-*/*) ;;
        *) echo "io_card -p /dev/<TAB> offers $word"; failed=1 ;;
    esac
done
exit $failed
