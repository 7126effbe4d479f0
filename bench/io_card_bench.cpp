// Runs the built io_card many times against the simulated card and prints, for
// each kind of run, the median wall time, its overhead above the gaps that end
// its answers, how it compares with the least exchange that does the same, and
// the peak resident memory; then where the time goes on a card at 9600 baud, on
// its own and behind a USB adapter; -g through a serial server (ser2net), on
// loopback and behind a 100 ms round trip, against the same card direct; -g and
// -3 on at 9600 baud direct, through ser2net with RFC 2217 and raw, socat and a
// bridge that packs; and how late --for puts outputs back.
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
#include <random>
#include <string>
#include <vector>

#include "bridge_sim.h"
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
// shell would see it. A run that fails ends the bench, or, given failed, counts
// there.
double wall_ms(const char* path, std::vector<std::string> args, int* failed = nullptr) {
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
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        if (failed == nullptr) fail("a run failed");
        ++*failed;
    }
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

// What one run writes to stderr; stdout goes to /dev/null.
std::string stderr_of(std::vector<std::string> args) {
    const std::vector<char*> argv = argv_of(IO_CARD_PATH, args);
    int err[2];
    if (pipe(err) != 0) fail("cannot make a pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    pid_t pid = 0;
    if (posix_spawn(&pid, IO_CARD_PATH, &actions, nullptr, argv.data(), environ) != 0) {
        fail("cannot start a run");
    }
    posix_spawn_file_actions_destroy(&actions);
    close(err[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got = 0; (got = read(err[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fputs(text.c_str(), stderr);
        fail("a run failed");
    }
    return text;
}

// How late the frame that puts outputs back leaves, against for_ms after the
// frame that switched them, as --trace times both.
void print_restore_lateness(const card_sim::simulated_card& card, int runs, int for_ms) {
    std::vector<double> late;
    for (int i = 0; i < runs; ++i) {
        const std::string err = stderr_of(
            {"-p", card.path(), "--trace", "-3", "off", "--for=" + std::to_string(for_ms)});
        std::vector<double> sets;
        for (auto at = err.find(" ms > s"); at != std::string::npos;
             at = err.find(" ms > s", at + 1)) {
            sets.push_back(std::atof(err.c_str() + err.rfind(": ", at) + 2));
        }
        if (sets.size() != 2) fail("a run with --for did not write two patterns");
        late.push_back(sets[1] - sets[0] - for_ms);
    }
    std::printf("\n%-26s %10s %10s\n", "-3 off --for=100, late by", "median ms", "max ms");
    std::printf("%-26s %10.1f %10.1f\n", "the frame that puts back", median_of(late),
                *std::max_element(late.begin(), late.end()));
}

struct timed {
    double median_ms;
    long peak_kib;
};

// spread_ms: start each run after a random wait of up to this long, so that runs
// do not fall into step with a card's latency timer.
timed time_runs(const char* path, const std::vector<std::string>& args, int runs, bool peak,
                int spread_ms = 0, int apart_ms = 0, int* failed = nullptr) {
    static std::mt19937 random(20261208);
    std::vector<double> walls;
    long most = 0;
    for (int i = 0; i < runs; ++i) {
        if (apart_ms > 0) usleep(static_cast<useconds_t>(apart_ms) * 1000U);
        if (spread_ms > 0) usleep(static_cast<useconds_t>(random() % (spread_ms * 1000U)));
        walls.push_back(wall_ms(path, args, failed));
        if (peak && i < 10) most = std::max(most, peak_kib(args));
    }
    return {median_of(walls), most};
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
    card_sim::behaviour late_9600 = at_9600;
    late_9600.get.delay_ms = late_9600.set.delay_ms = 5;
    const card_sim::simulated_card late(late_9600);
    card_sim::behaviour usb_9600 = late_9600;
    usb_9600.latency_ms = 16;
    const card_sim::simulated_card usb(usb_9600);

    std::printf(
        "%d runs each against the simulated card, with io_card's defaults: the card has\n"
        "50 ms to begin each answer, and an answer is over 20 ms after its last byte\n\n",
        runs);
    std::printf("%-26s %10s %10s %12s %10s %14s\n", "run, card answers at once", "median ms",
                "gaps ms", "overhead ms", "vs least", "peak RSS KiB");
    // What starting any program, sleeping 20 ms, and the least exchange that
    // does a run's work (bench/least_exchange.cpp) cost here.
    const double start = time_runs("/bin/true", {}, runs, false).median_ms;
    const double sleep = time_runs("/bin/sleep", {"0.02"}, runs, false).median_ms;
    const double least_g = time_runs(LEAST_PATH, {card.path(), "g"}, runs, false).median_ms;
    const double least_change =
        time_runs(LEAST_PATH, {card.path(), "g", "s00100000s"}, runs, false).median_ms;
    std::printf("%-26s %10.3f %10d %12.3f\n", "/bin/true", start, 0, start);
    std::printf("%-26s %10.3f %10d %12.3f\n", "sleep 0.02", sleep, 20, sleep - 20);
    std::printf("%-26s %10.3f %10d %12.3f\n", "least g", least_g, 20, least_g - 20);
    std::printf("%-26s %10.3f %10d %12.3f\n", "least g, set", least_change, 40, least_change - 40);
    struct kind {
        const char* name;
        std::vector<std::string> args;
        int exchanges;
        double least;  // the least exchange doing the same, or 0
    };
    const kind kinds[] = {
        {"-p only", {}, 0, 0},
        {"-s 10101010", {"-s", "10101010"}, 1, 0},
        {"-g", {"-g"}, 1, least_g},
        {"-3 on", {"-3", "on"}, 2, least_change},
    };
    for (const auto& k : kinds) {
        std::vector<std::string> args{"-p", card.path()};
        args.insert(args.end(), k.args.begin(), k.args.end());
        const timed t = time_runs(IO_CARD_PATH, args, runs, true);
        std::printf("%-26s %10.3f %10d %12.3f", k.name, t.median_ms, 20 * k.exchanges,
                    t.median_ms - 20 * k.exchanges);
        if (k.least > 0) {
            std::printf(" %+9.1f%%", 100 * (t.median_ms / k.least - 1));
        } else {
            std::printf(" %10s", "");
        }
        std::printf(" %14ld\n", t.peak_kib);
    }

    // Where the time goes on a card at 9600 baud that takes 5 ms to turn round:
    // each exchange lasts until its answer's last byte plus the gap. The answer
    // ends after the command's and the answer's bytes at 1.04 ms each, and the
    // turnaround. Behind a USB adapter, the last byte waits for the next tick of
    // its 16 ms latency timer: 8 ms on average, as runs start at any phase.
    constexpr double byte_ms = 10.0 * 1000.0 / 9600.0;
    const auto answer_end = [&](int sent) { return (sent + 8) * byte_ms + 5; };
    struct exchange_kind {
        const char* name;
        std::vector<std::string> args;
        std::vector<int> sent;  // bytes of each command
    };
    const exchange_kind exchanges[] = {
        {"-s 10101010", {"-s", "10101010"}, {10}},
        {"-g", {"-g"}, {1}},
        {"-3 on", {"-3", "on"}, {1, 10}},
    };
    for (const auto* card_on_line : {&late, &usb}) {
        const double latency = card_on_line == &usb ? 8 : 0;
        std::printf("\n%-26s %10s %12s %10s %10s %10s %12s\n",
                    card_on_line == &usb ? "run, USB adapter, 16 ms" : "run, 9600 baud, 5 ms late",
                    "median ms", "answers end", "latency ms", "gaps ms", "model ms", "overhead ms");
        for (const auto& e : exchanges) {
            std::vector<std::string> args{"-p", card_on_line->path()};
            args.insert(args.end(), e.args.begin(), e.args.end());
            const double median =
                time_runs(IO_CARD_PATH, args, runs, false, card_on_line == &usb ? 16 : 0).median_ms;
            double ends = 0;
            for (const int sent : e.sent) ends += answer_end(sent);
            const auto count = static_cast<int>(e.sent.size());
            const double model = ends + count * (latency + 20);
            std::printf("%-26s %10.3f %12.2f %10.0f %10d %10.2f %12.3f\n", e.name, median, ends,
                        count * latency, 20 * count, model, median - model);
        }
    }
    // Through ser2net on loopback, against the same card direct. ser2net holds
    // what the card sends for two character times (chardelay) by default.
    const double direct = time_runs(IO_CARD_PATH, {"-p", card.path(), "-g"}, runs, false).median_ms;
    std::printf("\n%-26s %10s %10s\n", "-g, card answers at once", "median ms", "vs direct");
    std::printf("%-26s %10.3f\n", "direct", direct);
    for (const char* options : {"chardelay: true", "chardelay: false"}) {
        const card_sim::serial_server server(card, options);
        if (server.url().empty()) {
            std::printf("%-26s %10s\n", "through ser2net",
                        server.missing() ? "(not installed)" : "(did not start)");
            break;
        }
        // ser2net takes about 10 ms to close the device after a run, and makes
        // the next one wait for it: runs here start 20 to 40 ms apart.
        const double served =
            time_runs(IO_CARD_PATH, {"-p", server.url(), "-g"}, runs, false, 20, 20).median_ms;
        std::printf("through ser2net, %-9s %10.3f %+9.1f%%\n", options + 11, served,
                    100 * (served / direct - 1));
    }
    // And behind a relay that holds each piece 50 ms each way, as a link to a
    // card in another building does: each round trip that a run waits for
    // costs 100 ms more than direct. The relay accepts a connection at once,
    // so the connection costs none. With io_card's defaults: a run that fails
    // is counted, and its time is in the median all the same.
    const card_sim::serial_server passing(card, "chardelay: false");
    if (!passing.url().empty()) {
        const card_sim::relay relay(passing.url().substr(passing.url().find("//") + 2),
                                    {.one_way_ms = 50});
        int failed = 0;
        const double far = time_runs(IO_CARD_PATH, {"-p", "rfc2217://" + relay.address(), "-g"},
                                     runs, false, 20, 20, &failed)
                               .median_ms;
        std::printf("%-26s %10.3f %+9.1f%%  direct + %.2f round trips", "relay, 100 ms round trip",
                    far, 100 * (far / direct - 1), (far - direct) / 100);
        if (failed > 0) std::printf(" (%d of %d runs failed)", failed, runs);
        std::printf("\n");
    }
    // A card at 9600 baud, direct, through ser2net with RFC 2217, raw through
    // its tcp accepter and through socat, and behind a model bridge that packs
    // until 50 ms of quiet. A raw run waits once, before its first command, for
    // the pause and the packing allowance after the connection.
    std::printf("\n%-26s %10s %10s %10s\n", "at 9600 baud, loopback", "-g ms", "-3 on ms",
                "failed");
    const auto side_by_side = [&](const char* name, const std::string& port, int apart_ms) {
        int failed = 0;
        const double get =
            time_runs(IO_CARD_PATH, {"-p", port, "-g"}, runs, false, apart_ms, apart_ms, &failed)
                .median_ms;
        const double change = time_runs(IO_CARD_PATH, {"-p", port, "-3", "on"}, runs, false,
                                        apart_ms, apart_ms, &failed)
                                  .median_ms;
        std::printf("%-26s %10.3f %10.3f %10d\n", name, get, change, failed);
    };
    side_by_side("direct", line.path(), 0);
    {
        const card_sim::serial_server rfc2217(line);
        if (!rfc2217.url().empty()) side_by_side("ser2net telnet(rfc2217)", rfc2217.url(), 20);
    }
    {
        const card_sim::serial_server tcp(line, {}, card_sim::server_kind::raw);
        if (!tcp.url().empty()) side_by_side("ser2net tcp, socket://", tcp.url(), 20);
    }
    {
        const card_sim::serial_server socat(line, {}, card_sim::server_kind::socat);
        if (!socat.url().empty()) side_by_side("socat, socket://", socat.url(), 20);
    }
    {
        const card_sim::raw_bridge packing(line, {.pack_ms = 50});
        if (!packing.url().empty()) side_by_side("bridge packing 50 ms", packing.url(), 0);
    }
    print_pacing(line, runs);
    print_restore_lateness(card, 20, 100);
    return 0;
}
