# fish completion for io_card

# Serial devices only: /dev/tty, the console and the virtual consoles are the
# user's own terminals, which a run would set to 9600 baud, raw. A serial line
# that the kernel uses as its console is refused, so left out.
function __io_card_ports
    set -l consoles
    if test -r /proc/consoles
        while read -l name rest
            set -a consoles /dev/$name
        end </proc/consoles
    end
    for device in /dev/ttyS* /dev/ttyUSB* /dev/ttyACM* /dev/ttyAMA* /dev/rfcomm* \
            /dev/serial/by-id/* /dev/serial/by-path/*
        contains -- (realpath $device) $consoles; or echo $device
    end
    # A card on a network: a serial server, or a raw TCP bridge.
    string match -q -r '^(--port=)?[a-z]' -- (commandline -ct); and printf '%s\n' rfc2217:// socket:// tcp://
end

# io_card takes no words but its options.
complete -c io_card -f
complete -c io_card -s p -l port -x -a '(__io_card_ports)' -d 'The serial device'
complete -c io_card -s s -l set -x -d 'Load all eight outputs: 8 characters, each 0 or 1'
complete -c io_card -s g -l get -d "Print the card's states"
for n in (seq 8)
    complete -c io_card -s $n -x -a 'on off toggle' -d "Switch output $n"
end
complete -c io_card -l for -x -a '500 1000 2000 5000 10000' -d 'Put back what the run switched after this many milliseconds'
complete -c io_card -l verify -d 'Read the states back after writing a pattern'
complete -c io_card -l trace -d 'Show every command and answer on standard error'
complete -c io_card -l wait -x -a '0 2000 10000 60000' -d 'Milliseconds to wait for another run to let go of the port'
complete -c io_card -l pause -x -a '20 50 100 200 500 1000' -d 'Milliseconds the card has to begin each answer'
complete -c io_card -l gap -x -a '4 10 20 50 100' -d 'Milliseconds of quiet that end an answer'
complete -c io_card -s h -l help -d 'Print the help and exit'
complete -c io_card -l version -d 'Print the version and exit'
