#!/usr/bin/env bash
# Checks the fish completions of io_card ($1) and io_card_sim ($2): they parse,
# and fish offers the words wanted for a few command lines.
set -u
command -v fish >/dev/null || { echo "fish is not installed: the fish completion is not checked"; exit 77; }
# The completion leaves out the consoles of /proc/consoles: the test runs in a
# private mount namespace where that list names ttyS0 alone, whatever the machine.
if [ -z "${IO_CARD_CONSOLES_FAKED-}" ]; then
    unshare -rm true 2>/dev/null || { echo "no private mount namespace: not checked"; exit 77; }
    list=$(mktemp) && chmod 644 "$list" && echo 'ttyS0                -W- (EC  p a)    4:64' >"$list"
    IO_CARD_CONSOLES_FAKED=1 exec unshare -rm bash -c \
        'mount --bind "$0" /proc/consoles && rm "$0" && exec bash "$@"' "$list" "$0" "$@"
fi
file=$(realpath "$1") sim_file=$(realpath "$2")
fish --no-config -n "$file" || exit 1
fish --no-config -n "$sim_file" || exit 1
# fish keeps its history and variables under these; none of the user's are read or
# written. The file shows whether a line is completed with files.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export XDG_CONFIG_HOME=$scratch XDG_DATA_HOME=$scratch XDG_CACHE_HOME=$scratch
cd "$scratch" && touch a-file || exit 1

offered() {  # offered LINE: the words fish offers for LINE<TAB>, sorted, one a line
    timeout 10 fish --no-config -c 'source $argv[1]; source $argv[2]; complete -C $argv[3]' \
        "$file" "$sim_file" "$1" | cut -f1 | sort
}
failed=0
# command line <TAB> | words offered, in any order
rows=(
    'io_card -1 '                 'on off toggle'
    'io_card -8 o'                'on off'
    'io_card -3o'                 '-3on -3off'
    'io_card --pause '            '20 50 100 200 500 1000'
    'io_card --pause=5'           '--pause=50 --pause=500'
    'io_card --gap '              '4 10 20 50 100'
    'io_card --gap=1'             '--gap=10 --gap=100'
    'io_card -s '                 ''
    'io_card --set='              ''
    'io_card -g '                 ''
    'io_card --'                  '--port --set --get --for --verify --wait --pause --gap --trace --help --version'
    'io_card -p /dev/ttyS0 --ve'  '--verify --version'
    'io_card_sim --baud '         '1200 2400 4800 9600 19200 38400 57600 115200'
    'io_card_sim --delay=1'       '--delay=1 --delay=16'
    'io_card_sim --extra '        ''
    'io_card_sim --s'             '--states --silent --stuck --short'
)
for ((i = 0; i < ${#rows[@]}; i += 2)); do
    line=${rows[i]}
    got=$(offered "$line" | paste -sd ' ')
    want=$(printf '%s\n' ${rows[i+1]} | sort | paste -sd ' ')
    [ "$got" = "$want" ] || { echo "$line<TAB>: got '$got', want '$want'"; failed=1; }
done

# -p offers serial devices alone, whatever this machine has: never /dev/tty (on
# every Linux system), a console or a virtual console.
for line in 'io_card -p /dev/' 'io_card --port /dev/' 'io_card --port=/dev/'; do
    while read -r word; do
        case ${word#--port=} in
            /dev/ttyS0) echo "$line<TAB> offers the console $word"; failed=1 ;;
            /dev/ttyS* | /dev/ttyUSB* | /dev/ttyACM* | /dev/ttyAMA* | /dev/rfcomm* | /dev/serial/by-*/*) ;;
            *) echo "$line<TAB> offers $word"; failed=1 ;;
        esac
    done < <(offered "$line")
done
exit $failed
