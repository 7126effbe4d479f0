#include "bridge_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <list>
#include <random>
#include <thread>
#include <utility>
#include <vector>

namespace card_sim {

namespace {

constexpr auto patience = std::chrono::seconds(10);  // for a server to listen, and to end

}  // namespace

std::string free_loopback_address() {
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = bind(probe, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                       getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    close(probe);
    return bound ? "127.0.0.1:" + std::to_string(ntohs(address.sin_port)) : std::string();
}

namespace {

// One way of a connection through the relay: the pieces read from `from`, each
// held until it is due, then written to `to`.
struct one_way {
    int from = -1;
    int to = -1;
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::string>> held;
    std::string due;  // due, and not yet taken by `to`
    std::chrono::steady_clock::time_point last_due{};
    std::chrono::steady_clock::time_point last_sent{};  // when the last piece left, for nagle_ms
    bool ended = false;  // `from` has closed its side: so does `to`'s, once all is delivered
};

struct joined {
    one_way ways[2];
    bool broken = false;
};

// text ("HOST:PORT", HOST in numbers) as connect takes it.
sockaddr_in loopback_address(const std::string& text) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    const std::size_t colon = text.rfind(':');
    inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr);
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(text.c_str() + colon + 1)));
    return address;
}

// Without Nagle's algorithm of its own: the relay adds only the delays it is told.
void no_delay(int fd) {
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// A listening socket on a free loopback port, and the eventfd that wakes its
// thread to stop: the port as "127.0.0.1:PORT", or empty if either cannot be had.
std::string listen_on_loopback(int& listener, int& wake) {
    listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof own;
    wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (listener == -1 || wake == -1 ||
        bind(listener, reinterpret_cast<sockaddr*>(&own), length) != 0 ||
        listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&own), &length) != 0) {
        return {};
    }
    return "127.0.0.1:" + std::to_string(ntohs(own.sin_port));
}

// Wakes the thread that serves a listening socket, and waits for it to end.
void stop_serving(int wake, std::thread& thread) {
    const std::uint64_t one = 1;
    if (wake != -1 && write(wake, &one, sizeof one) != sizeof one) {
        // An eventfd refuses only at its limit, and then it is readable all the same.
    }
    if (thread.joinable()) thread.join();
}

}  // namespace

relay::relay(const std::string& to, link_delay link) : to_(to), link_(link) {
    address_ = listen_on_loopback(listener_, wake_);
    if (!address_.empty()) thread_ = std::thread([this] { serve(); });
}

relay::~relay() {
    stop_serving(wake_, thread_);
    if (wake_ != -1) close(wake_);
    if (listener_ != -1) close(listener_);
}

void relay::serve() {
    // As the card's own thread: a loaded machine would otherwise add delays of
    // its own to those the relay is told.
    keep_time();
    using clock = std::chrono::steady_clock;
    std::mt19937 random(link_.seed);
    std::uniform_int_distribution<int> spread(0, link_.spread_ms * 1000);
    const auto one_way_delay = std::chrono::milliseconds(link_.one_way_ms);
    const auto nagle = std::chrono::milliseconds(link_.nagle_ms);
    std::list<joined> connections;
    std::vector<pollfd> waiting;
    for (;;) {
        // Each piece due by now joins what waits for its reader, in order.
        const clock::time_point now = clock::now();
        clock::time_point next = clock::time_point::max();
        for (auto& connection : connections) {
            for (auto& way : connection.ways) {
                while (!way.held.empty() && way.held.front().first <= now) {
                    way.due += way.held.front().second;
                    way.held.pop_front();
                }
                if (!way.held.empty()) next = std::min(next, way.held.front().first);
                if (!way.due.empty()) {
                    const ssize_t sent =
                        send(way.to, way.due.data(), way.due.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                    if (sent > 0) way.due.erase(0, static_cast<std::size_t>(sent));
                    if (sent < 0 && errno != EAGAIN && errno != EINTR) connection.broken = true;
                }
                if (way.ended && way.held.empty() && way.due.empty() && way.from != -1) {
                    shutdown(way.to, SHUT_WR);
                    way.from = -1;  // nothing more to read from it, nor to pass on
                }
            }
            if (connection.ways[0].from == -1 && connection.ways[1].from == -1) {
                connection.broken = true;
            }
        }
        for (auto at = connections.begin(); at != connections.end();) {
            if (!at->broken) {
                ++at;
                continue;
            }
            close(at->ways[0].to);
            close(at->ways[1].to);
            at = connections.erase(at);
        }

        waiting.assign({{wake_, POLLIN, 0}, {listener_, POLLIN, 0}});
        for (const auto& connection : connections) {
            for (const auto& way : connection.ways) {
                const short reading = way.ended ? 0 : POLLIN;
                waiting.push_back({way.ended ? -1 : way.from, reading, 0});
                waiting.push_back({way.due.empty() ? -1 : way.to, POLLOUT, 0});
            }
        }
        int timeout = -1;
        if (next != clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - clock::now());
            timeout = static_cast<int>(std::max<long long>(left.count(), 0));
        }
        if (poll(waiting.data(), waiting.size(), timeout) < 0 && errno != EINTR) return;
        if (waiting[0].revents != 0) return;  // told to stop
        const clock::time_point arrived = clock::now();
        std::size_t at = 2;
        for (auto& connection : connections) {
            for (auto& way : connection.ways) {
                const short revents = waiting[at].revents;
                at += 2;
                if (way.ended || revents == 0) continue;
                char buffer[65536];
                const ssize_t count = read(way.from, buffer, sizeof buffer);
                if (count < 0) {
                    if (errno != EAGAIN && errno != EINTR) connection.broken = true;
                    continue;
                }
                if (count == 0) {
                    way.ended = true;
                    continue;
                }
                // Nagle's algorithm: the first piece goes now; one that comes
                // while another is unacknowledged joins the batch held for the
                // acknowledgement.
                clock::time_point sent = arrived;
                if (nagle.count() > 0 && arrived < way.last_sent + nagle) {
                    sent = arrived < way.last_sent ? way.last_sent : way.last_sent + nagle;
                }
                way.last_sent = sent;
                clock::time_point due = sent + one_way_delay;
                if (link_.spread_ms > 0) due += std::chrono::microseconds(spread(random));
                due = std::max(due, way.last_due);
                way.last_due = due;
                way.held.emplace_back(due, std::string(buffer, static_cast<std::size_t>(count)));
            }
        }
        // After the reads: a connection joins the list that the poll did not wait on.
        if (waiting[1].revents != 0) {
            const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client != -1) {
                const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                const sockaddr_in where = loopback_address(to_);
                if (server == -1 ||
                    connect(server, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
                    close(client);
                    if (server != -1) close(server);
                } else {
                    no_delay(client);
                    no_delay(server);
                    joined& connection = connections.emplace_back();
                    connection.ways[0].from = connection.ways[1].to = client;
                    connection.ways[1].from = connection.ways[0].to = server;
                }
            }
        }
    }
}

serial_server::serial_server(const simulated_card& card, const std::string& options,
                             server_kind kind) {
    const char* const program = kind == server_kind::socat ? "/usr/bin/socat" : "/usr/sbin/ser2net";
    missing_ = access(program, X_OK) != 0;
    if (missing_) return;
    // ser2net puts back the settings it found each time a client lets go. A UART
    // that nobody holds open echoes nothing, but the card's terminal, held open,
    // would echo at the kernel's defaults whatever comes between two clients.
    const int line = open(card.path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    if (line != -1 && tcgetattr(line, &raw) == 0) {
        cfmakeraw(&raw);
        tcsetattr(line, TCSANOW, &raw);
    }
    if (line != -1) close(line);
    // Free now; ser2net takes it a moment later.
    const std::string address = free_loopback_address();
    if (address.empty()) return;
    const std::size_t colon = address.find(':');
    // Each # is a new line of ser2net's configuration.
    std::string configuration =
        "connection: &card#  accepter: " +
        std::string(kind == server_kind::rfc2217 ? "telnet(rfc2217)," : "") + "tcp," +
        address.substr(0, colon) + "," + address.substr(colon + 1) + "#  connector: serialdev," +
        card.path() + (kind == server_kind::rfc2217 ? ",115200n82,local" : ",9600n81,local");
    if (!options.empty()) configuration += "#  options:#    " + options;
    std::vector<std::string> words{"ser2net", "-n", "-u", "-Y", configuration};
    if (kind == server_kind::socat) {
        lock_ = "/tmp/io_card_socat_lock." + address.substr(colon + 1);
        words = {"socat",
                 "TCP-LISTEN:" + address.substr(colon + 1) + ",bind=127.0.0.1,reuseaddr,fork",
                 "FILE:" + card.path() + ",rawer,b9600,lockfile=" + lock_};
    }
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const bool started = posix_spawn(&pid, program, &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!started) return;
    pid_ = pid;
    // Ahead of ordinary processes where the caller may (as root), as the card's
    // own thread is: a loaded machine would otherwise hold an answer back in it.
    setpriority(PRIO_PROCESS, static_cast<id_t>(pid), -20);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    where.sin_port =
        htons(static_cast<std::uint16_t>(std::stoi(address.substr(address.find(':') + 1))));
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        if (waitpid(pid_, nullptr, WNOHANG) != 0) {
            pid_ = -1;  // ended: its number may be another process's soon
            return;
        }
        const int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool listening =
            connect(client, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
        close(client);
        if (listening) {
            url_ = (kind == server_kind::rfc2217 ? "rfc2217://" : "socket://") + address;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

serial_server::~serial_server() {
    if (!lock_.empty()) unlink(lock_.c_str());
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

raw_bridge::raw_bridge(const simulated_card& card, bridge_model how) : how_(how) {
    line_ = open(card.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios raw{};
    if (line_ == -1 || tcgetattr(line_, &raw) != 0) return;
    cfmakeraw(&raw);
    tcsetattr(line_, TCSANOW, &raw);
    const std::string address = listen_on_loopback(listener_, wake_);
    if (address.empty()) return;
    url_ = "socket://" + address;
    thread_ = std::thread([this] { serve(); });
}

raw_bridge::~raw_bridge() {
    stop_serving(wake_, thread_);
    for (const int fd : {wake_, listener_, line_}) {
        if (fd != -1) close(fd);
    }
}

void raw_bridge::serve() {
    keep_time();
    using clock = std::chrono::steady_clock;
    const auto pack = std::chrono::milliseconds(how_.pack_ms);
    int client = -1;
    std::string held;  // the card's bytes, not yet passed on
    clock::time_point last_byte{};
    for (;;) {
        if (client != -1 && !held.empty() && clock::now() >= last_byte + pack) {
            // A client that takes no more within a write loses the rest, as a
            // bridge's full buffer would.
            send(client, held.data(), held.size(), MSG_NOSIGNAL);
            held.clear();
        }
        if (client == -1 && !how_.keep) held.clear();
        int timeout = -1;
        if (client != -1 && !held.empty()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(last_byte + pack - clock::now());
            timeout = static_cast<int>(std::max<long long>(left.count(), 0));
        }
        pollfd waiting[] = {
            {wake_, POLLIN, 0}, {line_, POLLIN, 0}, {client == -1 ? listener_ : client, POLLIN, 0}};
        if (poll(waiting, 3, timeout) < 0 && errno != EINTR) return;
        if (waiting[0].revents != 0) break;  // told to stop
        char bytes[4096];
        if (waiting[1].revents != 0) {
            const ssize_t got = read(line_, bytes, sizeof bytes);
            if (got > 0) {
                held.append(bytes, static_cast<std::size_t>(got));
                last_byte = clock::now();
            }
        }
        if (waiting[2].revents == 0) continue;
        if (client == -1) {
            client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client != -1) no_delay(client);
            continue;
        }
        const ssize_t got = recv(client, bytes, sizeof bytes, 0);
        if (got <= 0) {
            close(client);
            client = -1;
        } else if (write(line_, bytes, static_cast<std::size_t>(got)) != got) {
            // The card's line takes a command whole, or the card has hung up.
        }
    }
    if (client != -1) close(client);
}

}  // namespace card_sim
