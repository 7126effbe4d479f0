// Runs the built io_card many times against the simulated card and prints, for
// each kind of run, the median wall time, its overhead above the card's pauses
// and the peak resident memory.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "card_sim.h"

extern char** environ;

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "io_card_bench: %s\n", what);
    std::exit(1);
}

// args must outlive the vector, which points into it.
std::vector<char*> argv_of(const char* path, std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(path)};
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    return argv;
}

// One run with stdout and stderr on /dev/null, timed from spawn to reaping, as a
// shell would see it.
double wall_ms(const char* path, std::vector<std::string> args) {
    const std::vector<char*> argv = argv_of(path, args);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);

    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawn(&pid, path, &actions, nullptr, argv.data(), environ) != 0) {
        fail("cannot start a run");
    }
    int status = 0;
    waitpid(pid, &status, 0);
    const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - start;
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) fail("a run failed");
    return wall.count();
}

// Peak resident memory of one run, read just before it ends. The rusage of a
// child would also count the address space it had before exec, the bench's own.
long peak_kib(std::vector<std::string> args) {
    const std::vector<char*> argv = argv_of(IO_CARD_PATH, args);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execv(IO_CARD_PATH, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);  // stopped at exec
    if (!WIFSTOPPED(status)) fail("cannot trace io_card");
    ptrace(PTRACE_SETOPTIONS, pid, nullptr, PTRACE_O_TRACEEXIT);
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    waitpid(pid, &status, 0);  // stopped on its way out
    long peak = 0;
    const std::string status_path = "/proc/" + std::to_string(pid) + "/status";
    if (FILE* file = std::fopen(status_path.c_str(), "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, file) != nullptr) {
            std::sscanf(line, "VmHWM: %ld", &peak);
        }
        std::fclose(file);
    }
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || peak == 0) fail("a traced run failed");
    return peak;
}

double median_of(std::vector<double> values) {
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// How late a card at 9600 baud delivers each byte of its answer to 'g' against
// the line's own time: 'g' takes one byte-time to arrive, answer byte j is in
// j + 1 byte-times after that. Lateness is measured from the write of 'g', so
// it includes the pseudo-terminal's own hand-over both ways.
void print_pacing(const card_sim::simulated_card& card, int runs) {
    const int fd = open(card.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios line{};
    tcgetattr(fd, &line);
    cfmakeraw(&line);
    tcsetattr(fd, TCSANOW, &line);
    constexpr double byte_ms = 10.0 * 1000.0 / 9600.0;
    std::vector<double> every;
    std::vector<double> last;
    for (int i = 0; i < runs; ++i) {
        tcflush(fd, TCIFLUSH);
        const auto start = std::chrono::steady_clock::now();
        if (write(fd, "g", 1) != 1) fail("cannot write to the simulated card");
        char byte = 0;
        for (int j = 0; j < 8; ++j) {
            pollfd waiting{fd, POLLIN, 0};
            if (poll(&waiting, 1, 1000) != 1 || read(fd, &byte, 1) != 1) fail("no paced answer");
            const std::chrono::duration<double, std::milli> at =
                std::chrono::steady_clock::now() - start;
            every.push_back(at.count() - (j + 2) * byte_ms);
            if (j == 7) last.push_back(at.count() - (j + 2) * byte_ms);
        }
    }
    close(fd);
    std::sort(every.begin(), every.end());
    std::sort(last.begin(), last.end());
    const auto share = [](const std::vector<double>& sorted, double part) {
        return sorted[static_cast<std::size_t>(part * static_cast<double>(sorted.size() - 1))];
    };
    std::printf("\npacing at 9600 baud, %d answers of 8 bytes, lateness in ms:\n", runs);
    std::printf("%-20s %10s %10s %10s\n", "", "median", "99%", "max");
    std::printf("%-20s %10.3f %10.3f %10.3f\n", "every byte", share(every, 0.5), share(every, 0.99),
                every.back());
    std::printf("%-20s %10.3f %10.3f %10.3f\n", "the last byte", share(last, 0.5),
                share(last, 0.99), last.back());
}

}  // namespace

int main(int argc, char* argv[]) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    if (runs < 1) {
        std::fprintf(stderr, "Usage: %s [runs]\n", argv[0]);
        return 1;
    }
    const card_sim::simulated_card card;
    card_sim::behaviour at_9600;
    at_9600.baud = 9600;
    const card_sim::simulated_card line(at_9600);
    struct kind {
        const char* name;
        const card_sim::simulated_card& card;
        std::vector<std::string> args;
        int pauses;
    };
    const kind kinds[] = {
        {"-p only", card, {}, 0},
        {"-s 10101010", card, {"-s", "10101010"}, 1},
        {"-g", card, {"-g"}, 1},
        {"-3 on", card, {"-3", "on"}, 2},
        // The same against a card that keeps a 9600 baud line's time.
        {"-g @9600", line, {"-g"}, 1},
        {"-3 on @9600", line, {"-3", "on"}, 2},
        {"--pause=40 -g @9600", line, {"--pause=40", "-g"}, 2},  // one pause of 40 ms
    };
    std::printf(
        "%d runs each against the simulated card; pauses are 20 ms a command unless\n"
        "--pause says otherwise; @9600: a card that keeps a 9600 baud line's time\n\n",
        runs);
    std::printf("%-20s %10s %10s %12s %14s\n", "run", "median ms", "pauses ms", "overhead ms",
                "peak RSS KiB");
    // What starting any program, and any program that sleeps 20 ms, costs here.
    std::vector<double> starts;
    std::vector<double> sleeps;
    for (int i = 0; i < runs; ++i) starts.push_back(wall_ms("/bin/true", {}));
    for (int i = 0; i < runs; ++i) sleeps.push_back(wall_ms("/bin/sleep", {"0.02"}));
    std::printf("%-20s %10.3f %10d %12.3f\n", "/bin/true", median_of(starts), 0, median_of(starts));
    std::printf("%-20s %10.3f %10d %12.3f\n", "sleep 0.02", median_of(sleeps), 20,
                median_of(sleeps) - 20);
    for (const auto& k : kinds) {
        std::vector<double> walls;
        long peak = 0;
        for (int i = 0; i < runs; ++i) {
            std::vector<std::string> args{"-p", k.card.path()};
            args.insert(args.end(), k.args.begin(), k.args.end());
            walls.push_back(wall_ms(IO_CARD_PATH, args));
            if (i < 10) peak = std::max(peak, peak_kib(args));
        }
        const double median = median_of(walls);
        std::printf("%-20s %10.3f %10d %12.3f %14ld\n", k.name, median, 20 * k.pauses,
                    median - 20 * k.pauses, peak);
    }
    print_pacing(line, runs);
    return 0;
}
