#!/usr/bin/env bash
# Completes a few command lines with the bash completion scripts of io_card ($1)
# and io_card_sim ($2) and checks the words offered.
set -u
# The completion leaves out the consoles of /proc/consoles: the test runs in a
# private mount namespace where that list names ttyS0 alone, whatever the machine.
if [ -z "${IO_CARD_CONSOLES_FAKED-}" ]; then
    unshare -rm true 2>/dev/null || { echo "no private mount namespace: not checked"; exit 77; }
    list=$(mktemp) && chmod 644 "$list" && echo 'ttyS0                -W- (EC  p a)    4:64' >"$list"
    IO_CARD_CONSOLES_FAKED=1 exec unshare -rm bash -c \
        'mount --bind "$0" /proc/consoles && rm "$0" && exec bash "$@"' "$list" "$0" "$@"
fi
source "$1"
source "$2"
failed=0
expect() {  # expect PATTERN WORD...: completing the last WORD of $program offers words matching PATTERN
    local wanted=$1; shift
    COMP_WORDS=("$program" "$@"); COMP_CWORD=$#
    "_$program"
    local got="${COMPREPLY[*]}"
    # shellcheck disable=SC2053
    if [[ $got != $wanted ]]; then echo "$program $*<TAB>: got '$got', want '$wanted'"; failed=1; fi
}

# -p offers serial devices alone, whatever this machine has: never /dev/tty (on
# every Linux system), a console or a virtual console.
for line in '-p /dev/' '--port /dev/' '--port = /dev/' '--port ='; do
    read -ra COMP_WORDS <<<"io_card $line"
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    _io_card
    for word in "${COMPREPLY[@]}"; do
        case $word in
            /dev/ttyS0) echo "io_card $line<TAB> offers the console $word"; failed=1 ;;
            /dev/ttyS* | /dev/ttyUSB* | /dev/ttyACM* | /dev/ttyAMA* | /dev/rfcomm* | /dev/serial/by-*/*) ;;
            *) echo "io_card $line<TAB> offers $word"; failed=1 ;;
        esac
    done
done

program=io_card
expect 'socket://' -p so
expect 'on off toggle' -3 ''
expect 'off' -p /dev/ttyS0 -8 of
expect '-p --port -s --set -g --get -1 -2 -3 -4 -5 -6 -7 -8 --for --verify --trace --wait --pause --gap -h --help --version' -p /dev/ttyS0 -
expect '--port --set --get --for --verify --trace --wait --pause --gap --help --version' --
expect '--verify --version' --ve
expect '' -s ''
expect '' --set = ''
expect '' -p /dev/nul            # no terminal
expect '' -g ''                  # no words but options
expect '20 50 100 200 500 1000' --pause ''
expect '50 500' --pause = 5
expect '4 10 20 50 100' --gap =
expect '10 100' --gap = 1
expect '' --trace =

# The devices of a machine with one of each kind, ttyS0 its console; bash splits
# a name at ':'.
by_id=/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZP1X-if00-port0
by_path=/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0
compgen() {
    if [[ $1 == -G ]]; then
        case $2 in
            '/dev/ttyS*') echo /dev/ttyS0; echo /dev/ttyS1 ;;
            '/dev/ttyUSB*') echo /dev/ttyUSB0 ;;
            '/dev/ttyACM*') echo /dev/ttyACM0 ;;
            '/dev/serial/by-id/*') echo "$by_id" ;;
            '/dev/serial/by-path/*') echo "$by_path" ;;
        esac
    else
        builtin compgen "$@"
    fi
}
expect '/dev/ttyS1 /dev/ttyUSB0 /dev/ttyACM0' -p /dev/tty
expect "/dev/ttyS1 /dev/ttyUSB0 /dev/ttyACM0 $by_id $by_path" --port =
expect "$by_path" -p /dev/serial/by-p
expect '00:14.0-usb-0:2:1.0-port0' -p /dev/serial/by-path/pci-0000 :
expect '14.0-usb-0:2:1.0-port0' --port = /dev/serial/by-path/pci-0000 : 00 : 1
unset -f compgen

program=io_card_sim
expect '--states --baud --delay --latency --silent --stuck --short --extra --answer -h --help --version' ''
expect '--states --silent --stuck --short' --s
expect '00000000 11111111' --states ''
expect '11111111' --states = 1
expect '1200 19200 115200' --baud = 1
expect '1 16' --latency 1
expect '' --answer ''
expect '' --silent =

exit $failed
