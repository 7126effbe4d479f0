#include "harness.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include <gtest/gtest.h>

extern char** environ;

namespace {

using steady = std::chrono::steady_clock;

int ms_left(steady::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Appends what fd has to text; false once it is at its end.
bool read_some(int fd, std::string& text) {
    char buffer[4096];
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count > 0) text.append(buffer, static_cast<std::size_t>(count));
    return count > 0 || (count < 0 && errno == EINTR);
}

std::string with_port(std::string text, const std::string& port) {
    const std::string marker = "{port}";
    for (auto at = text.find(marker); at != std::string::npos; at = text.find(marker)) {
        text.replace(at, marker.size(), port);
    }
    return text;
}

// --trace's times differ from run to run: "io_card: 20.3 ms < ..." becomes
// "io_card: T ms < ...".
std::string without_times(std::string text) {
    const auto is_digit = [&text](std::size_t at) {
        return at < text.size() && text[at] >= '0' && text[at] <= '9';
    };
    for (std::size_t at = text.find(": "); at != std::string::npos; at = text.find(": ", at + 1)) {
        std::size_t end = at + 2;
        while (is_digit(end)) ++end;
        if (end > at + 2 && text.compare(end, 1, ".") == 0 && is_digit(end + 1) &&
            text.compare(end + 2, 4, " ms ") == 0) {
            text.replace(at + 2, end + 2 - (at + 2), "T");
        }
    }
    return text;
}

// How long after the first set frame that --trace shows the last one left, in
// tenths of a millisecond.
long set_frames_apart(const std::string& err) {
    long first = -1;
    long last = -1;
    for (auto at = err.find(" ms > s"); at != std::string::npos; at = err.find(" ms > s", at + 1)) {
        const auto start = err.rfind(": ", at) + 2;
        const auto dot = err.find('.', start);
        last = std::stol(err.substr(start, dot - start)) * 10 + std::stol(err.substr(dot + 1, 1));
        if (first < 0) first = last;
    }
    return last - first;
}

// Whether the card answers a command with nothing at all.
bool answers_nothing(const card_sim::answer_rule& rule) {
    return rule.max_bytes == 0 || rule.lost != 0 ||
           (rule.bytes && rule.bytes->empty() && rule.extra.empty());
}

std::vector<std::string> with_timing(const card_sim::simulated_card& card,
                                     const std::vector<std::string>& args, bool timing,
                                     const std::string& port) {
    std::vector<std::string> all{"-p", port.empty() ? card.path() : port};
    if (!timing) {
        const card_sim::behaviour& how = card.how();
        // Through a server, every run waits out a pause before its first command.
        const bool served = port.rfind("rfc2217://", 0) == 0 || port.rfind("socket://", 0) == 0;
        all.push_back(answers_nothing(how.get) || answers_nothing(how.set) || served
                          ? "--pause=500"
                          : "--pause=2000");
        if (how.baud > 0 || how.latency_ms > 0) all.push_back("--gap=100");
    }
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

}  // namespace

child_process::child_process(child_process&& other) noexcept
    : pid(std::exchange(other.pid, -1)),
      out_fd(std::exchange(other.out_fd, -1)),
      err_fd(std::exchange(other.err_fd, -1)) {}

// The program this handle had goes with other, whose end ends it.
child_process& child_process::operator=(child_process&& other) noexcept {
    std::swap(pid, other.pid);
    std::swap(out_fd, other.out_fd);
    std::swap(err_fd, other.err_fd);
    return *this;
}

child_process::~child_process() {
    if (out_fd >= 0) close(std::exchange(out_fd, -1));
    if (err_fd >= 0) close(std::exchange(err_fd, -1));
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(std::exchange(pid, -1), nullptr, 0);
    }
}

child_process spawn(const std::string& path, const std::string& name,
                    const std::vector<std::string>& args, int in) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in == -1) {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    } else {
        posix_spawn_file_actions_adddup2(&actions, in, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // Whatever ctest or a shell left open is the run's business no more.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);

    std::vector<char*> argv{const_cast<char*>(name.c_str())};
    for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    child_process child;
    if (posix_spawn(&child.pid, path.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        child.pid = -1;
    } else {
        // Ahead of every ordinary process where the harness may (as root): a
        // loaded machine then holds a run back for as little as it can.
        setpriority(PRIO_PROCESS, static_cast<id_t>(child.pid), -20);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    child.out_fd = out[0];
    child.err_fd = err[0];
    return child;
}

std::string read_line(int fd, int timeout_ms, std::size_t most) {
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    std::string line;
    char c = 0;
    pollfd waiting{fd, POLLIN, 0};
    while (line.size() < most && poll(&waiting, 1, ms_left(deadline)) > 0 && read(fd, &c, 1) == 1) {
        if (c == '\n') break;
        line += c;
    }
    return line;
}

run_result finish(child_process& child, int timeout_ms) {
    run_result result;
    const auto deadline = steady::now() + std::chrono::milliseconds(timeout_ms);
    pollfd streams[2] = {{child.out_fd, POLLIN, 0}, {child.err_fd, POLLIN, 0}};
    std::string* texts[2] = {&result.out, &result.err};
    while (streams[0].fd >= 0 || streams[1].fd >= 0) {
        if (poll(streams, 2, ms_left(deadline)) <= 0) {
            result.timed_out = true;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (streams[i].revents != 0 && !read_some(streams[i].fd, *texts[i])) {
                close(streams[i].fd);
                streams[i].fd = -1;
            }
        }
    }
    for (const auto& stream : streams) {
        if (stream.fd >= 0) close(stream.fd);
    }
    child.out_fd = child.err_fd = -1;
    if (child.pid <= 0) return result;
    int status = 0;
    while (waitpid(child.pid, &status, WNOHANG) == 0) {
        if (result.timed_out || ms_left(deadline) == 0) {
            result.timed_out = true;
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &status, 0);
            break;
        }
        usleep(1000);
    }
    child.pid = -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + result.signal;
    return result;
}

run_result run_io_card(const std::vector<std::string>& args, int timeout_ms,
                       const std::string& redirect) {
    if (redirect.empty()) {
        auto child = spawn(IO_CARD_PATH, "io_card", args);
        return finish(child, timeout_ms);
    }
    // Shell commands before the redirect, up to its last ';', run first.
    const std::size_t commands = redirect.rfind(';') + 1;  // 0 where there are none
    std::vector<std::string> shell_args{"-c",
                                        redirect.substr(0, commands) +
                                            " exec -a io_card \"$0\" \"$@\" " +
                                            redirect.substr(commands),
                                        IO_CARD_PATH};
    shell_args.insert(shell_args.end(), args.begin(), args.end());
    auto child = spawn("/bin/bash", "bash", shell_args);
    return finish(child, timeout_ms);
}

std::vector<std::string> on_card(const card_sim::simulated_card& card,
                                 const std::vector<std::string>& args, const std::string& port) {
    return with_timing(card, args, false, port);
}

run_result run_on(const card_sim::simulated_card& card, const std::vector<std::string>& args,
                  const std::string& redirect) {
    return run_io_card(on_card(card, args), 10000, redirect);
}

std::string read_file(const std::string& path) {
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) return text;
    while (read_some(fd, text)) {
    }
    close(fd);
    return text;
}

void expect_run(const wire_case& c) {
    SCOPED_TRACE(c.name);
    card_sim::simulated_card card(c.card);
    ASSERT_FALSE(card.path().empty());
    std::optional<card_sim::serial_server> server;
    std::optional<card_sim::relay> relay;
    if (c.served || c.link || c.tunneled) {
        server.emplace(card, c.link || c.tunneled ? "chardelay: false" : "", c.kind);
        if (server->missing()) {
            std::printf("ser2net or socat is not installed: '%s' is not checked\n", c.name);
            return;
        }
        ASSERT_FALSE(server->url().empty()) << "ser2net did not listen";
    }
    std::optional<ssh_tunnel> tunnel;
    if (c.tunneled) {
        tunnel.emplace(server->url().substr(server->url().find("//") + 2));
        if (tunnel->address().empty()) {
            std::printf("no ssh tunnel (%s): '%s' is not checked\n", tunnel->why().c_str(), c.name);
            return;
        }
    }
    if (c.link) {
        relay.emplace(server->url().substr(server->url().find("//") + 2), *c.link);
        ASSERT_FALSE(relay->address().empty()) << "the relay did not listen";
    }
    std::optional<card_sim::raw_bridge> bridge;
    if (c.bridge) {
        bridge.emplace(card, *c.bridge);
        ASSERT_FALSE(bridge->url().empty()) << "the bridge did not listen";
    }
    const std::string own = server ? server->url().substr(0, server->url().find("//") + 2) : "";
    const std::string scheme = c.scheme != nullptr ? c.scheme : own;
    const std::string port = relay    ? scheme + relay->address()
                             : tunnel ? scheme + tunnel->address()
                             : server ? scheme + server->url().substr(own.size())
                             : bridge ? bridge->url()
                                      : card.path();
    if (!c.stale.empty()) {
        ASSERT_EQ(run_io_card({"-p", card.path()}).status, 0);
        card.send(c.stale);
    }
    if (!c.before.empty()) {
        // Killed by the card's own thread, at once however loaded the machine; the
        // card answers nothing more until it is.
        const auto victim = std::make_shared<std::atomic<pid_t>>(0);
        const auto kill_at = static_cast<std::size_t>(c.kill_before);
        if (c.kill_before >= 0) {
            card.at(1, kill_at, [victim] {
                for (int i = 0; *victim == 0 && i < 100000; ++i) usleep(100);
                kill(*victim, SIGKILL);
            });
        }
        auto before = spawn(IO_CARD_PATH, "io_card", with_timing(card, c.before, c.timing, port));
        *victim = before.pid;
        if (c.kill_before >= 0) {
            EXPECT_TRUE(card.await(1, kill_at)) << "the card did not get that far within 10 s";
        }
        const run_result result = finish(before, 10000);
        EXPECT_EQ(result.status, c.kill_before >= 0 ? 128 + SIGKILL : c.before_status)
            << result.err;
    }
    // A row on the clock that takes 5 s has waited for something it should not.
    const auto began = steady::now();
    const run_result result =
        run_io_card(with_timing(card, c.args, c.timing, port), c.timing ? 5000 : 10000, c.redirect);
    // A run through the relay exchanges with the server at least once.
    if (c.link) {
        EXPECT_GE(steady::now() - began, std::chrono::milliseconds(2 * c.link->one_way_ms))
            << "the relay held nothing";
    }
    // The card may take the last command a moment after the run is over.
    EXPECT_TRUE(card.await(c.wire.size())) << "the card received less within 10 s";
    EXPECT_EQ(card_sim::escape(card.received()), card_sim::escape(c.wire));
    EXPECT_EQ(card_sim::escape(result.out), card_sim::escape(with_port(c.out, port)));
    EXPECT_EQ(without_times(result.err), with_port(c.err, port));
    EXPECT_EQ(result.status, c.status);
    if (c.apart_ms > 0) {
        EXPECT_GE(set_frames_apart(result.err), c.apart_ms * 10L) << result.err;
        EXPECT_LE(set_frames_apart(result.err), c.apart_ms * 10L + 1500) << result.err;
    }
}

wire_case on_the_clock(wire_case c) {
    c.timing = true;
    return c;
}

wire_case served(wire_case c) {
    c.served = true;
    return c;
}

wire_case relayed(card_sim::link_delay link, wire_case c) {
    c.link = link;
    return c;
}

wire_case raw(card_sim::server_kind kind, wire_case c) {
    c.kind = kind;
    c.served = !c.link && !c.tunneled;
    return c;
}

wire_case bridged(card_sim::bridge_model how, wire_case c) {
    c.bridge = how;
    return c;
}

wire_case apart(int ms, wire_case c) {
    c.apart_ms = ms;
    return c;
}

card_sim::behaviour card_with(std::string states) {
    card_sim::behaviour card;
    card.states = std::move(states);
    return card;
}

wire_case through_ssh(wire_case c) {
    c.tunneled = true;
    return c;
}

namespace {

// Whether something listens on the loopback TCP port, by the kernel's table:
// a connection to try it would go through a tunnel to the server.
bool listening(const std::string& port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", static_cast<unsigned>(std::stoi(port)));
    const std::string table = read_file("/proc/net/tcp");
    for (auto at = table.find(local); at != std::string::npos; at = table.find(local, at + 1)) {
        // The remote address follows, then the state: 0A is LISTEN.
        if (table.compare(at + 13 + 1 + 13 + 1, 2, "0A") == 0) return true;
    }
    return false;
}

bool wait_for(const std::function<bool()>& ready) {
    const auto deadline = steady::now() + std::chrono::seconds(10);
    while (!ready()) {
        if (steady::now() >= deadline) return false;
        usleep(10000);
    }
    return true;
}

}  // namespace

ssh_tunnel::ssh_tunnel(const std::string& to) {
    if (access("/usr/sbin/sshd", X_OK) != 0 || access("/usr/bin/ssh", X_OK) != 0) {
        why_ = "OpenSSH (openssh-server, openssh-client) is not installed";
        return;
    }
    if (geteuid() != 0) {
        why_ = "sshd needs root";
        return;
    }
    char folder[] = "/tmp/io_card_ssh.XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        why_ = "no folder for its keys";
        return;
    }
    folder_ = folder;
    for (const char* key : {"host", "user"}) {
        auto keygen = spawn("/usr/bin/ssh-keygen", "ssh-keygen",
                            {"-q", "-t", "ed25519", "-N", "", "-f", folder_ + "/" + key});
        if (finish(keygen, 10000).status != 0) {
            why_ = "ssh-keygen failed";
            return;
        }
    }
    const std::string sshd_address = card_sim::free_loopback_address();
    const std::string sshd_port = sshd_address.substr(sshd_address.find(':') + 1);
    const std::string config = "ListenAddress " + sshd_address + "\nHostKey " + folder_ +
                               "/host\nAuthorizedKeysFile " + folder_ +
                               "/user.pub\nPidFile none\nUsePAM no\nStrictModes no\n"
                               "PasswordAuthentication no\nKbdInteractiveAuthentication no\n"
                               "PermitRootLogin prohibit-password\nAllowTcpForwarding local\n";
    const std::string config_path = folder_ + "/sshd_config";
    const int fd = open(config_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const bool written =
        write(fd, config.data(), config.size()) == static_cast<ssize_t>(config.size());
    close(fd);
    // Where the openssh-server service has not run, its folder is not there yet.
    mkdir("/run/sshd", 0755);
    if (!written) {
        why_ = "cannot write sshd's configuration";
        return;
    }
    // sshd runs itself again for each connection, by an absolute argv[0].
    sshd_ = spawn("/usr/sbin/sshd", "/usr/sbin/sshd", {"-D", "-e", "-f", config_path});
    if (!wait_for([&] { return listening(sshd_port); })) {
        why_ = "sshd did not listen";
        return;
    }
    const std::string own = card_sim::free_loopback_address();
    const std::string own_port = own.substr(own.find(':') + 1);
    ssh_ = spawn("/usr/bin/ssh", "ssh",
                 {"-F",
                  "/dev/null",
                  "-N",
                  "-L",
                  own_port + ":" + to,
                  "-i",
                  folder_ + "/user",
                  "-p",
                  sshd_port,
                  "-o",
                  "BatchMode=yes",
                  "-o",
                  "StrictHostKeyChecking=no",
                  "-o",
                  "UserKnownHostsFile=/dev/null",
                  "-o",
                  "ExitOnForwardFailure=yes",
                  "-o",
                  "LogLevel=ERROR",
                  "root@127.0.0.1"});
    if (!wait_for([&] { return listening(own_port); })) {
        why_ = "ssh did not forward";
        return;
    }
    address_ = own;
}

ssh_tunnel::~ssh_tunnel() {
    ssh_ = {};
    sshd_ = {};
    if (folder_.empty()) return;
    for (const char* file : {"host", "host.pub", "user", "user.pub", "sshd_config"}) {
        unlink((folder_ + "/" + file).c_str());
    }
    rmdir(folder_.c_str());
}

const std::string& failing_calls_library() {
    static char folder[] = "/tmp/io_card_preload.XXXXXX";
    static std::string copy;
    if (!copy.empty() || mkdtemp(folder) == nullptr) return copy;
    const std::string library = read_file(FAILING_CALLS_PATH);
    const std::string path = folder + std::string("/failing_calls.so");
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const bool copied =
        fd != -1 && !library.empty() &&
        write(fd, library.data(), library.size()) == static_cast<ssize_t>(library.size());
    if (fd != -1) close(fd);
    if (copied) copy = path;
    std::atexit([] {
        unlink((folder + std::string("/failing_calls.so")).c_str());
        rmdir(folder);
    });
    return copy;
}

void preload_failing_calls(const char* name, const std::string& value) {
    EXPECT_FALSE(failing_calls_library().empty());
    setenv("LD_PRELOAD", failing_calls_library().c_str(), 1);
    // AddressSanitizer would refuse a library loaded ahead of its runtime.
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    setenv(name, value.c_str(), 1);
}

void stop_preloading() {
    for (const char* name : {"LD_PRELOAD", "IO_CARD_FAULT", "IO_CARD_SERIAL_FLAGS"}) unsetenv(name);
}

serial_flags_file::serial_flags_file() {
    char path[] = "/tmp/io_card_flags.XXXXXX";
    const int fd = mkstemp(path);
    if (fd != -1) close(fd);
    path_ = path;
}

serial_flags_file::~serial_flags_file() {
    unlink(path_.c_str());
}

void serial_flags_file::start(int found) const {
    const std::string text = std::to_string(found) + "\n";
    const int fd = open(path_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    EXPECT_TRUE(fd != -1 &&
                write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
    if (fd != -1) close(fd);
    preload_failing_calls("IO_CARD_SERIAL_FLAGS", path_);
}

std::string serial_flags_file::history() const {
    std::string flags = read_file(path_);
    while (!flags.empty() && flags.back() == '\n') flags.pop_back();
    for (char& c : flags) c = c == '\n' ? ' ' : c;
    return flags;
}
