// The least a run of io_card can cost, for the bench to measure it against:
// opens the port, sets it raw at 9600 baud, and for each command given writes
// it, waits up to 50 ms for the answer to begin, reads until the line has been
// quiet for 20 ms and copies what came to stdout. It checks nothing and links
// libc alone, as io_card does.
//   least_exchange PORT COMMAND...
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>
#include <cstring>

int main(int argc, char* argv[]) {
    if (argc < 2) return 2;
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios line{};
    tcgetattr(fd, &line);
    cfmakeraw(&line);
    cfsetspeed(&line, B9600);
    tcsetattr(fd, TCSANOW, &line);
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    char answer[4096];
    for (int i = 2; i < argc; ++i) {
        if (write(fd, argv[i], std::strlen(argv[i])) < 0) return 1;
        pollfd waiting{fd, POLLIN, 0};
        for (int wait_ms = 50; poll(&waiting, 1, wait_ms) == 1; wait_ms = 20) {
            const ssize_t got = read(fd, answer, sizeof answer);
            if (got <= 0 || write(1, answer, static_cast<std::size_t>(got)) < 0) return 1;
        }
    }
    return 0;
}
