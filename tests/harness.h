// Runs the built programs as a user would, with every wait bounded.
#pragma once

#include <optional>
#include <string>

#include <sys/types.h>
#include <vector>
#include "bridge_sim.h"
#include "card_sim.h"

struct run_result {
    int status = -1;  // exit status, or 128 + signal
    int signal = 0;   // the signal that ended it, if one did
    std::string out;
    std::string err;
    bool timed_out = false;
};

// A started program. Its handle owns it: going out of scope, as when an
// assertion fails, it kills the program (SIGKILL) and reaps it, so that no run
// outlives its test and reopens its port later, whatever that name then is.
struct child_process {
    pid_t pid = -1;  // -1 once reaped
    int out_fd = -1;
    int err_fd = -1;
    child_process() = default;
    child_process(child_process&& other) noexcept;
    child_process& operator=(child_process&& other) noexcept;
    ~child_process();
};

// Starts path with argv[0] set to name and stdin from in, or from /dev/null.
child_process spawn(const std::string& path, const std::string& name,
                    const std::vector<std::string>& args, int in = -1);
// Reads fd, a child's out_fd or err_fd, up to the first newline (which is not
// returned) or most bytes, for at most timeout_ms.
std::string read_line(int fd, int timeout_ms, std::size_t most = std::string::npos);
// Collects the rest of the output and the status, and reaps the child; kills it
// at the deadline.
run_result finish(child_process& child, int timeout_ms);

// Runs the built io_card, invoked as "io_card". A redirect such as "2>&-" is
// applied by a shell that then execs io_card; it may start with shell commands
// for the shell to run first, each ending in ';' ("ulimit -n 4; 2>&-").
run_result run_io_card(const std::vector<std::string>& args, int timeout_ms = 10000,
                       const std::string& redirect = {});

// io_card's arguments for a run on card that is not about timing: -p and port
// (the card's path unless given), the timing that wire_case gives such a run,
// then args.
std::vector<std::string> on_card(const card_sim::simulated_card& card,
                                 const std::vector<std::string>& args,
                                 const std::string& port = {});
// Runs io_card with on_card's arguments.
run_result run_on(const card_sim::simulated_card& card, const std::vector<std::string>& args,
                  const std::string& redirect = {});
// The whole of a small file; empty if it cannot be read.
std::string read_file(const std::string& path);

// --trace's first line on a pseudo-terminal, which has no serial flags.
inline const std::string no_serial_flags =
    "io_card: T ms low latency not asked: no serial flags: Inappropriate ioctl for device\n";

// One run of io_card against a fresh simulated card, and what it must leave.
struct wire_case {
    const char* name;
    card_sim::behaviour card;
    std::vector<std::string> args;  // after -p and the card's path
    std::string wire;               // every byte the card received
    std::string out;
    std::string err;  // "{port}" stands for the card's path, here and in out
    int status;
    std::string stale = {};     // queued on the line, raw from an earlier run, before this run
    std::string redirect = {};  // as for run_io_card
    std::vector<std::string> before = {};  // args of a run on the same card just before
    // Kill that run once the card has received a byte and sent this many of its
    // answer, and start this one at once; -1: let it end, with before_status.
    int kill_before = -1;
    int before_status = 0;
    // Unless a row is about timing, each run gets time enough for any load:
    // --pause=2000 (500 where the card answers a command with nothing, which
    // waits the pause out, and through a server, where every run waits one out
    // before its first command) and, on a card that paces its bytes, --gap=100. The
    // row's own --pause and --gap come after them and count. A row about timing
    // runs with io_card's defaults and its own options alone, and fails after 5 s.
    bool timing = false;
    // With --trace among args: the last set frame left at least this long after
    // the first, by the times that --trace shows, and not 150 ms later.
    int apart_ms = 0;
    bool served = false;  // through a card_sim::serial_server; "{port}" is its url()
    // Through a card_sim::relay between io_card and ser2net, which passes the
    // card's bytes on as they come (chardelay: false); "{port}" is the relay's
    // rfc2217:// address.
    std::optional<card_sim::link_delay> link = {};
    // The program that serves the card where served, link or tunneled: ser2net
    // with RFC 2217, or raw, ser2net's tcp accepter or socat, "{port}" socket://.
    card_sim::server_kind kind = card_sim::server_kind::rfc2217;
    // Through a simulated raw bridge instead; "{port}" is its url().
    std::optional<card_sim::bridge_model> bridge = {};
    // The scheme of "{port}" where not the server's own: a Telnet server as raw.
    const char* scheme = nullptr;
    // Through an ssh_tunnel to ser2net, which passes the card's bytes on as they
    // come; "{port}" is the tunnel's rfc2217:// address.
    bool tunneled = false;
};
void expect_run(const wire_case& c);
// c, as a row about timing.
wire_case on_the_clock(wire_case c);
// c, whose last set frame leaves at least ms after its first.
wire_case apart(int ms, wire_case c);
// c, through a serial server.
wire_case served(wire_case c);
// c, through a serial server behind a relay that holds what passes as link says.
wire_case relayed(card_sim::link_delay link, wire_case c);

// c, served as kind says.
wire_case raw(card_sim::server_kind kind, wire_case c);
// c, through a simulated raw bridge that passes the card's bytes as how says.
wire_case bridged(card_sim::bridge_model how, wire_case c);

// c, through OpenSSH's ssh -N -L to the serial server.
wire_case through_ssh(wire_case c);

card_sim::behaviour card_with(std::string states);

// The library of failing calls (tests/failing_calls.cpp) as LD_PRELOAD may name
// it: a copy in a folder of its own, since the loader splits that list at
// spaces and colons, which the build's path may hold. Empty if it cannot be
// made; removed when the tests exit.
const std::string& failing_calls_library();
// Preloads that library into the programs started from now on, with name set to
// value in their environment (IO_CARD_FAULT, IO_CARD_SERIAL_FLAGS).
void preload_failing_calls(const char* name, const std::string& value);
// Programs started from now on run without it.
void stop_preloading();

// A terminal's serial flags as a driver keeps them after a close (an FTDI
// adapter's does), in a file of their own that tests/failing_calls.cpp answers
// io_card's serial flags calls from; removed when it goes out of scope.
class serial_flags_file {
public:
    serial_flags_file();
    ~serial_flags_file();
    serial_flags_file(const serial_flags_file&) = delete;
    serial_flags_file& operator=(const serial_flags_file&) = delete;
    // Flags found (no low latency unless told), for the programs started from
    // now on, with the library of failing calls preloaded.
    void start(int found = 0) const;
    // The flags in turn since start, as numbers and spaces: "0 8192 0" for low
    // latency set and put back.
    std::string history() const;

private:
    std::string path_;
};

// OpenSSH's `ssh -N -L` on loopback to to ("127.0.0.1:PORT"), through an sshd
// of its own on a free loopback port that takes a key made for it alone, as a
// caller reaches a card on another site. address() is the tunnel's own end,
// "127.0.0.1:PORT"; empty, with why() saying so, where OpenSSH is missing, the
// process is not root (sshd needs /run/sshd, which it makes), or a step did not
// succeed within 10 s. Going out of scope, it kills and reaps both programs.
class ssh_tunnel {
public:
    explicit ssh_tunnel(const std::string& to);
    ~ssh_tunnel();
    ssh_tunnel(const ssh_tunnel&) = delete;
    ssh_tunnel& operator=(const ssh_tunnel&) = delete;
    const std::string& address() const { return address_; }
    const std::string& why() const { return why_; }

private:
    std::string folder_;
    child_process sshd_;
    child_process ssh_;
    std::string address_;
    std::string why_;
};
