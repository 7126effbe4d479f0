# fish completion for io_card_sim

# io_card_sim takes no words but its options.
complete -c io_card_sim -f
complete -c io_card_sim -l states -x -a '00000000 11111111' -d 'Start with these states: 8 characters, each 0 or 1'
complete -c io_card_sim -l baud -x -a '1200 2400 4800 9600 19200 38400 57600 115200' -d 'Keep the time of a line at N baud'
complete -c io_card_sim -l delay -x -a '1 2 4 8 16 32' -d 'Milliseconds to wait before answering each command'
complete -c io_card_sim -l latency -x -a '1 2 4 8 16 32' -d 'Hand answers over only every MS milliseconds'
complete -c io_card_sim -l silent -d 'Never answer'
complete -c io_card_sim -l stuck -d 'Answer set frames but keep the states'
complete -c io_card_sim -l short -x -d 'Send only the first N bytes of every answer'
complete -c io_card_sim -l extra -x -d 'Send BYTES after each answer to g'
complete -c io_card_sim -l answer -x -d 'Answer g with BYTES instead of the states'
complete -c io_card_sim -s h -l help -d 'Print the help and exit'
complete -c io_card_sim -l version -d 'Print the version and exit'
