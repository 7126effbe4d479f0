// A simulated I/O card on a pseudo-terminal, for trying io_card and scripts
// without hardware and for the tests. It serves the master side; io_card opens the
// slave path like a serial device. The line settings are left as the kernel made
// them, so whoever opens the slave has to set the line up.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace card_sim {

// How the card answers one kind of command. The default is a sound card's answer,
// sent at once.
struct answer_rule {
    std::optional<std::string> bytes;  // answer with these bytes instead of its own
    std::string extra;                 // sent right after the answer
    int max_bytes = -1;                // cut answer and extra to this many bytes; -1: no cut
    int delay_ms = 0;                  // the card's turnaround before it answers
    bool hang_up = false;              // hang up instead of answering, as when unplugged
    // The answer to this command's Nth time (1 for the first) is lost, as on a
    // noisy line: the card acts on the command and says nothing. 0: none lost.
    int lost = 0;
};

struct behaviour {
    std::string states = "00000000";  // the outputs when the card starts
    answer_rule get;                  // answer to 'g': the states
    answer_rule set;                  // answer to a set frame: the new states
    // Keep the time of a line at this many baud, 10 bits a byte, both ways: a
    // command counts from when its last byte would have arrived, and an answer
    // goes out a byte per byte-time. 0: everything arrives and leaves at once.
    int baud = 0;
    // Hand the answer's bytes over only at ticks this many ms apart, each tick's
    // in one burst, as a USB adapter's latency timer does. 0: as they are due.
    int latency_ms = 0;
    // Answer set frames as usual but keep the states, as a card whose outputs
    // are stuck does.
    bool stuck = false;
    // Take every byte and answer none, not even a 'g': a terminal that a test
    // only watches, whose messages may hold any letter.
    bool mute = false;
    // Serve this serial device, set raw, instead of a new pseudo-terminal: the
    // device side of a USB gadget's serial function, say.
    std::string device;
};

class simulated_card {
public:
    // Opens a pseudo-terminal (or how.device) and serves it on a thread of its
    // own until destroyed. On failure path() is empty. log, if given, is called from that
    // thread with one line for every frame received. Where the process may (as
    // root), the thread runs at real-time priority, so that a loaded machine
    // neither delays its answers nor splits them; elsewhere it runs as any thread.
    explicit simulated_card(behaviour how = {}, std::function<void(const std::string&)> log = {});
    // Stops at once, even in the middle of a turnaround or a paced answer, which
    // is then never finished.
    ~simulated_card();
    simulated_card(const simulated_card&) = delete;
    simulated_card& operator=(const simulated_card&) = delete;

    const std::string& path() const { return path_; }
    const behaviour& how() const { return how_; }
    // Sends bytes unasked, as a late answer or line noise would, and returns once
    // they wait on the line to be read, or after 1 s. Only on a raw line: a cooked
    // one would echo them back as commands.
    void send(const std::string& bytes) const;
    std::string received() const;  // every byte received, in order
    std::string states() const;
    // While held, the card takes nothing from the line, so that what is written
    // to it piles up until the line takes no more. hold(true) returns once the
    // card's thread has stopped reading: nothing written after it is taken until
    // hold(false). false if the thread has not stopped within 10 s, in the middle
    // of a long answer say.
    bool hold(bool held);
    // Waits until the card has received at least received bytes and sent at least
    // sent bytes of its answers, each counted since it started; false if that
    // has not happened within 10 s.
    bool await(std::size_t received, std::size_t sent = 0) const;
    // Bytes written to path() that wait for the card to read them; -1 once the
    // card has hung up.
    int queued_for_card() const;
    // Calls then once, on the card's own thread, as soon as the card has
    // received at least received bytes and sent at least sent bytes of its
    // answers: for a test that must act at that very moment, such as killing a
    // run in the middle of an answer, however loaded the machine.
    void at(std::size_t received, std::size_t sent, std::function<void()> then);

private:
    using clock = std::chrono::steady_clock;
    void serve();
    // arrived: when the byte's last bit would be in, on a line that keeps time.
    void take(char byte, clock::time_point arrived);
    void answer(const answer_rule& rule, const std::string& own_answer, clock::time_point arrived);
    void note(const std::string& line) const;
    // How long count bytes take on the line; zero for a card that keeps no time.
    clock::duration byte_times(long long count) const;
    // When a byte due at due reaches the line: the next tick of the latency timer.
    clock::time_point handed_over(clock::time_point due) const;
    // Wakes the thread from its wait for the line, to see a hold or a stop.
    void wake() const;
    // Calls what at() set, if the card has come that far; with mutex_ held.
    void reached(std::unique_lock<std::mutex>& lock);
    // Sleeps until then; false, at once, when the card is stopping.
    bool sleep_until(clock::time_point then);

    behaviour how_;
    std::function<void(const std::string&)> log_;
    const clock::time_point started_ = clock::now();
    int master_ = -1;  // -1 once the card has hung up
    int slave_ = -1;   // held open so that the master never sees a hang-up between runs
    int wake_ = -1;    // an eventfd that wakes the thread from its wait for the line
    std::string path_;
    mutable std::mutex mutex_;
    // Signalled whenever anything below changes.
    mutable std::condition_variable changed_;
    std::string received_;
    std::size_t sent_ = 0;
    std::size_t at_received_ = 0;
    std::size_t at_sent_ = 0;
    std::function<void()> at_;
    std::string states_;
    std::string frame_;  // a set frame being received
    int gets_ = 0;       // 'g' commands taken, and set frames
    int sets_ = 0;
    bool stop_ = false;
    bool held_ = false;
    bool reading_ = false;  // the thread may read the line: it has not yet seen a hold
    std::thread thread_;
};

// Runs the calling thread, where the process may (as root), at real-time
// priority, and with the least timer slack: a loaded machine would wake it
// late, so that an answer missed its pause or split where a gap is read.
// Elsewhere it keeps its priority, and only the slack changes.
void keep_time();

// Bytes as io_card's --trace shows them: 0x20 to 0x7e as they are, the backslash
// and every other byte as \xNN.
std::string escape(const std::string& bytes);
// The reverse of escape; nullopt for a malformed escape.
std::optional<std::string> unescape(const std::string& text);

}  // namespace card_sim
