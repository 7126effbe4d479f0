// io_card: one short exchange with an eight-output I/O card on a serial line,
// and with --for a second one that puts back what the first switched.
#include <fcntl.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <initializer_list>

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

// The signals that a caller stops a run with: Ctrl-C, kill, a terminal or a
// framework's time-out gone. One that the caller ignores, as nohup ignores
// SIGHUP, stays ignored: blocked and waited for, it would be taken all the same.
sigset_t stop_signals() {
    sigset_t signals;
    sigemptyset(&signals);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction now {};
        if (sigaction(signal, nullptr, &now) == 0 && now.sa_handler != SIG_IGN) {
            sigaddset(&signals, signal);
        }
    }
    return signals;
}

// A run that has switched outputs for a time owns the way back: from here on a
// stop signal waits for it, and a terminal that stops background writers
// (SIGTTOU) may not stop it.
void own_the_way_back() {
    const sigset_t signals = stop_signals();
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGTTOU, SIG_IGN);
}

// Waits until deadline, on CLOCK_MONOTONIC in ns, or until a stop signal comes
// or has come; returns that signal, or 0 at the deadline.
int wait_until(long long deadline) {
    const sigset_t signals = stop_signals();
    for (;;) {
        const long long left = deadline > now_ns() ? deadline - now_ns() : 0;
        const timespec timeout{static_cast<time_t>(left / 1'000'000'000),
                               static_cast<long>(left % 1'000'000'000)};
        const int got = sigtimedwait(&signals, nullptr, &timeout);
        if (got > 0) return got;
        if (errno == EAGAIN) return 0;
    }
}

// Ends the run as the signal would have, had it not waited for the way back.
[[noreturn]] void end_by(int signal) {
    const int status = finish_output();
    if (status != 0) std::exit(status);
    // Its action is the default one, or hasten_line's handler, which raises it
    // again with the default: no signal waited for is ignored.
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, signal);
    // Held during the restore, the signal may wait still: it ends the run here.
    sigprocmask(SIG_UNBLOCK, &just, nullptr);
    raise(signal);
    // cppcheck-suppress unreachableCode
    std::_Exit(128 + signal);
}

// Names the outputs whose state the run changed for every failure from now on:
// they may still be as it switched them. Returns whether there is any.
bool name_switched(const card_request& request) {
    char line[192] = "not switched back, and may still be as this run switched them:";
    bool any = false;
    for (std::size_t i = 0; i < output_count; ++i) {
        if (request.data[i] == request.before[i]) continue;
        const std::size_t used = std::strlen(line);
        std::snprintf(line + used, sizeof line - used, "%s output %zu %s", any ? "," : "", i + 1,
                      request.data[i] == '1' ? "on" : "off");
        any = true;
    }
    name_undone(any ? line : "");
    return any;
}

// Reads the card's states. The first ones read are kept, with how long reading
// them took: --for puts them back, and a run that reads again after its
// pattern must not take its own pattern for them.
void read_states_before(int fd, card_request& request, card_answer& states) {
    const long long asked = now_ns();
    read_states(fd, request, states);
    if (request.before[0] != '\0') return;
    std::memcpy(request.before, states.bytes, output_count);
    request.states_took = now_ns() - asked;
}

void put_back(card_request& request, bool failed);

// The timed run whose way back is owed, for a failure after its first frame.
card_request* owed_way_back = nullptr;

void put_back_after_failure() {
    put_back(*owed_way_back, true);
}

// Writes request.data as the pattern that switches outputs. With --for, the run
// owns the way back from before the frame leaves: from then on a failure, with
// the outputs perhaps switched, still puts them back when due.
void switch_outputs(int fd, card_request& request) {
    const bool first = request.switched_at == 0;
    if (request.for_ms > 0) {
        own_the_way_back();
        name_switched(request);
        if (first) request.switched_at = now_ns();
        owed_way_back = &request;
        after_failure(put_back_after_failure);
    }
    const pattern_written written = write_pattern(fd, request);
    if (first) request.switched_at = written.at;
    if (!written.answered) request.owed_flag = 1;
    if (request.verify_flag) verify_outputs(fd, request);
}

// Every exchange begins so, the first and the one that puts outputs back.
void take_the_line(int fd, const card_request& request) {
    lock_port(fd, request.wait_ms);
    set_line(fd);
    hasten_line(fd);
    discard_stale_input(fd, request);
}

// The stages run in this order whatever the order of the options.
void run_stages(int fd, card_request& request) {
    card_answer answer;
    if (request.set_flag) {
        // What a pattern replaces must be known before it can be put back.
        if (request.for_ms > 0) read_states_before(fd, request, answer);
        switch_outputs(fd, request);
    }
    if (request.get_flag) {
        get_answer(fd, request, answer);
        // An empty answer would look like success to a script reading the states.
        if (answer.count == 0) fail_no_answer(fd, request, "%s: No answer from the card on %s");
        print_answer(answer);
    }
    if (request.change_flag) {
        read_states_before(fd, request, answer);
        merge_outputs(request, answer);
        switch_outputs(fd, request);
    }
}

// Takes the port anew and puts back the outputs that the run switched, writing
// at due, or at once where stop, a stop signal, has come. What a retry can mend,
// an answer missed or a pattern that does not read back, is tried again until
// --wait has passed since the port was asked for; then, or at any other
// failure, the run fails as the exchange does, naming the outputs. Returns the
// stop signal, if one has come.
int restore(card_request& request, long long due, int stop) {
    const long long give_up = now_ns() + request.wait_ms * 1'000'000LL;
    const int fd = open_port(request);
    take_the_line(fd, request);
    // Only what the run changed goes back; request.data becomes the pattern
    // that puts it back.
    for (std::size_t i = 0; i < output_count; ++i) {
        const bool back = request.data[i] != request.before[i];
        request.on_mask[i] = back && request.before[i] == '1' ? '1' : '0';
        request.off_mask[i] = back && request.before[i] == '0' ? '1' : '0';
        request.toggle_mask[i] = '0';
    }
    request.owed_flag = 0;
    for (;;) {
        card_answer answer;
        if (!get_states(fd, request, answer)) {
            if (now_ns() >= give_up) fail_no_states(fd, request, answer);
            trace_note(now_ns(), "no states to put back by: asking again");
        } else {
            print_answer(answer, output_count);
            merge_outputs(request, answer);
            if (stop == 0) stop = wait_until(due);
            request.owed_flag = write_pattern(fd, request).answered ? 0 : 1;
            if (request.verify_flag == 0 || reads_back(fd, request, answer)) break;
            if (now_ns() >= give_up) fail_not_held(fd, request, answer);
            trace_note(now_ns(), "the pattern put back does not read back: writing it again");
        }
        let_line_settle(fd, request);
    }
    if (request.owed_flag == 0) unmark_line(fd);
    close_port(fd);
    return stop;
}

// Puts the outputs that the run switched back to the states the card reported
// before, for_ms after the first frame that switched them, or at once after a
// stop signal; ends by that signal once they are back, or with status 1 for a
// run that failed, as the message already said. The port and its lock are let
// go meanwhile, and taken again as a new run would take them.
void put_back(card_request& request, bool failed) {
    // A failure from here on is the way back's own.
    after_failure(nullptr);
    flush_output();
    const bool switched = name_switched(request);
    // A failed run that switched nothing has nothing to wait for.
    if (failed && !switched) std::exit(std::max(finish_output(), 1));
    const long long due = request.switched_at + request.for_ms * 1'000'000LL;
    // The port is taken and the states read ahead of time, so that the frame
    // leaves when it is due: as long ahead as both took the first time, and a
    // gap more. Through a server, taking the port takes round trips.
    const long long ahead =
        request.set_up_took + request.states_took + request.gap_ms * 1'000'000LL;
    int stop = wait_until(switched ? due - ahead : due);
    if (switched) stop = restore(request, due, stop);
    // A stop signal during the restore was held until now.
    if (stop == 0) stop = wait_until(0);
    if (failed) std::exit(std::max(finish_output(), 1));
    if (stop != 0) end_by(stop);
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
    // A file over the size limit is a full disk to a run, and a reader gone a
    // closed stream, not signals that kill it before it lets its line go.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    // A buffer of our own keeps stdio from allocating one on the first answer.
    static char stdout_buffer[BUFSIZ];
    std::setvbuf(stdout, stdout_buffer, _IOFBF, sizeof stdout_buffer);
    card_request request = parse_options(argc, argv);
    const long long opening = now_ns();
    const int fd = open_port(request);
    start_trace(request.trace_flag != 0, now_ns());
    take_the_line(fd, request);
    request.set_up_took = now_ns() - opening;
    run_stages(fd, request);
    // An answer to a pattern that may yet come is the next run's to wait out.
    if (request.owed_flag == 0) unmark_line(fd);
    close_port(fd);
    if (request.for_ms > 0) put_back(request, false);
    // The card's answers are the output; losing them is no success.
    return finish_output();
}
