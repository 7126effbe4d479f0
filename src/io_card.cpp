// io_card: one short exchange with an eight-output I/O card on a serial line.
#include <fcntl.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "card_protocol.h"
#include "messages.h"
#include "options.h"
#include "serial_line.h"

namespace {

// Started with stdin, stdout or stderr closed, the port would take that number
// and the card would receive answers and messages as commands.
void hold_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd) {
            std::exit(1);
        }
    }
}

// The stages run in this order whatever the order of the options.
void run_stages(int fd, card_request& request) {
    card_answer answer;
    if (request.set_flag) {
        send_set(fd, request);
        read_answer(fd, request, request.pause_ms, answer);
        print_answer(answer);
        if (request.verify_flag) verify_outputs(fd, request);
    }
    if (request.get_flag) {
        send_get(fd, request);
        read_answer(fd, request, request.pause_ms, answer);
        // An empty answer would look like success to a script reading the states.
        if (answer.count == 0) fail_on_port(fd, "%s: No answer from the card on %s");
        print_answer(answer);
    }
    if (request.change_flag) {
        merge_outputs(fd, request);
        if (request.verify_flag) verify_outputs(fd, request);
    }
}

// Installed setuid or setgid, the program would open any terminal for any user.
void refuse_borrowed_rights(int argc, char* argv[]) {
    if (geteuid() == getuid() && getegid() == getgid()) return;
    const bool named = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0';
    std::fprintf(stderr,
                 "%s: must not be installed setuid or setgid: give access to a card through "
                 "its device's group\n",
                 shown(named ? argv[0] : "io_card").text);
    std::exit(1);
}

}  // namespace

int main(int argc, char* argv[]) {
    refuse_borrowed_rights(argc, argv);
    hold_standard_descriptors();
    // A file over the size limit is a full disk to a run, not a signal that kills it.
    std::signal(SIGXFSZ, SIG_IGN);
    // A buffer of our own keeps stdio from allocating one on the first answer.
    static char stdout_buffer[BUFSIZ];
    std::setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);
    card_request request = parse_options(argc, argv);
    const int fd = open_port(request);
    start_trace(request.trace_flag != 0, now_ns());
    lock_port(fd);
    set_line(fd);
    discard_stale_input(fd, request);
    run_stages(fd, request);
    close(fd);
    // The card's answers are the output; losing them is no success.
    return finish_output();
}
