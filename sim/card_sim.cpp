#include "card_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <list>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "messages.h"

namespace card_sim {

namespace {

constexpr std::size_t set_frame_size = 10;
constexpr auto patience = std::chrono::seconds(10);  // for hold() and await()

}  // namespace

simulated_card::simulated_card(behaviour how, std::function<void(const std::string&)> log)
    : how_(std::move(how)), log_(std::move(log)), states_(how_.states) {
    if (!how_.device.empty()) {
        master_ = open(how_.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios line{};
        if (master_ == -1 || tcgetattr(master_, &line) != 0) return;
        cfmakeraw(&line);
        if (tcsetattr(master_, TCSANOW, &line) != 0) return;
        wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_ == -1) return;
        path_ = how_.device;
        thread_ = std::thread([this] { serve(); });
        return;
    }
    // Close-on-exec, so that the programs run against the card do not hold it.
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ == -1 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
    const char* name = ptsname(master_);
    if (name == nullptr) return;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ == -1) return;
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ == -1) return;
    path_ = name;
    thread_ = std::thread([this] { serve(); });
}

simulated_card::~simulated_card() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    changed_.notify_all();
    if (wake_ != -1) wake();
    if (thread_.joinable()) thread_.join();
    if (wake_ != -1) close(wake_);
    if (slave_ != -1) close(slave_);
    if (master_ != -1) close(master_);
}

bool simulated_card::hold(bool held) {
    std::unique_lock lock(mutex_);
    held_ = held;
    changed_.notify_all();
    if (!held) return true;
    // The thread may be waiting for the line already: wake it, so that it sees
    // the hold instead of reading what is written next.
    wake();
    return changed_.wait_for(lock, patience, [this] { return !reading_; });
}

void simulated_card::wake() const {
    const std::uint64_t one = 1;
    if (write(wake_, &one, sizeof one) != sizeof one) {
        // An eventfd refuses only at its limit, and then it is still readable.
    }
}

bool simulated_card::await(std::size_t received, std::size_t sent) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, patience,
                             [&] { return received_.size() >= received && sent_ >= sent; });
}

void simulated_card::at(std::size_t received, std::size_t sent, std::function<void()> then) {
    std::unique_lock lock(mutex_);
    at_received_ = received;
    at_sent_ = sent;
    at_ = std::move(then);
    reached(lock);
}

void simulated_card::reached(std::unique_lock<std::mutex>& lock) {
    if (!at_ || received_.size() < at_received_ || sent_ < at_sent_) return;
    const std::function<void()> then = std::move(at_);
    at_ = nullptr;
    lock.unlock();
    then();
    lock.lock();
}

int simulated_card::queued_for_card() const {
    const std::lock_guard lock(mutex_);
    int queued = 0;
    return master_ != -1 && ioctl(master_, FIONREAD, &queued) == 0 ? queued : -1;
}

bool simulated_card::sleep_until(clock::time_point then) {
    std::unique_lock lock(mutex_);
    return !changed_.wait_until(lock, then, [this] { return stop_; });
}

std::string simulated_card::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

std::string simulated_card::states() const {
    std::lock_guard lock(mutex_);
    return states_;
}

void simulated_card::send(const std::string& bytes) const {
    if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return;
    // The terminal hands written bytes on to its reader a moment later.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    int queued = 0;
    while (ioctl(slave_, FIONREAD, &queued) == 0 && queued < static_cast<int>(bytes.size()) &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void simulated_card::serve() {
    // A loaded machine would wake the card late: an answer would then miss its
    // pause, or split where the line went quiet for longer than a gap. Only a
    // privileged process may raise its thread; any other keeps its priority.
    sched_param priority{};
    priority.sched_priority = sched_get_priority_min(SCHED_FIFO);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
    // The default timer slack would make every paced byte up to 50 us late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    clock::time_point line_free{};  // when the last byte received so far is in
    char buffer[256];
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            reading_ = false;
            changed_.notify_all();
            changed_.wait(lock, [this] { return stop_ || !held_; });
            if (stop_) return;
            reading_ = true;
        }
        // No timeout: hold() and the destructor wake the thread through wake_.
        pollfd waiting[2] = {{master_, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (poll(waiting, 2, -1) <= 0) continue;
        if (waiting[1].revents != 0) {
            std::uint64_t count = 0;
            if (read(wake_, &count, sizeof count) != sizeof count) {
                // Someone else drained it: the wake-up was had all the same.
            }
            continue;
        }
        const ssize_t count = read(master_, buffer, sizeof buffer);
        if (count <= 0) {
            // A line that reads as broken would turn this wait into a spin, at
            // real-time priority: the card stops reading it.
            if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
                const std::lock_guard lock(mutex_);
                close(master_);
                master_ = -1;
            }
            continue;
        }
        // Bytes written together follow each other down the line.
        const clock::time_point start = std::max(line_free, clock::now());
        for (ssize_t i = 0; i < count; ++i) take(buffer[i], start + byte_times(i + 1));
        line_free = start + byte_times(count);
    }
}

void simulated_card::take(char byte, clock::time_point arrived) {
    std::unique_lock lock(mutex_);
    received_ += byte;
    changed_.notify_all();
    reached(lock);
    if (how_.mute) return;
    if (!frame_.empty() || byte == 's') {
        frame_ += byte;
        if (frame_.size() < set_frame_size) return;
        const std::string frame = std::exchange(frame_, {});
        if (frame.back() != 's') {
            lock.unlock();
            note("bad set frame " + escape(frame));
            return;
        }
        const std::string pattern = frame.substr(1, set_frame_size - 2);
        if (!how_.stuck) states_ = pattern;
        const bool lost = ++sets_ == how_.set.lost;
        lock.unlock();
        note("set " + escape(pattern) + (lost ? ", its answer lost" : ""));
        if (!lost) answer(how_.set, pattern, arrived);
    } else if (byte == 'g') {
        const std::string current = states_;
        const bool lost = ++gets_ == how_.get.lost;
        lock.unlock();
        note(lost ? "get, its answer lost" : "get");
        if (!lost) answer(how_.get, current, arrived);
    } else {
        lock.unlock();
        note("stray byte " + escape(std::string(1, byte)));
    }
}

void simulated_card::note(const std::string& line) const {
    if (log_) log_(line);
}

void simulated_card::answer(const answer_rule& rule, const std::string& own_answer,
                            clock::time_point arrived) {
    std::string bytes = rule.bytes.value_or(own_answer) + rule.extra;
    if (rule.max_bytes >= 0 && bytes.size() > static_cast<std::size_t>(rule.max_bytes)) {
        bytes.resize(static_cast<std::size_t>(rule.max_bytes));
    }
    if (rule.hang_up) {
        {
            const std::lock_guard lock(mutex_);
            close(master_);
            master_ = -1;
        }
        note("  hung up");
        return;
    }
    const clock::time_point start = arrived + std::chrono::milliseconds(rule.delay_ms);
    bool sent = true;
    // Each byte is due a whole number of byte-times after the start, so that a
    // late wake-up delays one byte and never the ones after it. Bytes handed
    // over at the same moment go out in one write.
    const auto out_at = [&](std::size_t i) {
        return handed_over(start + byte_times(static_cast<long long>(i) + 1));
    };
    for (std::size_t first = 0; first < bytes.size() && sent;) {
        std::size_t end = first + 1;
        while (end < bytes.size() && out_at(end) == out_at(first)) ++end;
        // Stopped, the card leaves the rest unsent and says nothing more.
        if (!sleep_until(out_at(first))) return;
        sent = write(master_, &bytes[first], end - first) == static_cast<ssize_t>(end - first);
        if (sent) {
            std::unique_lock lock(mutex_);
            sent_ += end - first;
            changed_.notify_all();
            reached(lock);
        }
        first = end;
    }
    if (!sent) {
        note("  cannot answer");
    } else {
        note(bytes.empty() ? "  answered nothing" : "  answered " + escape(bytes));
    }
}

simulated_card::clock::duration simulated_card::byte_times(long long count) const {
    if (how_.baud <= 0) return {};
    return std::chrono::nanoseconds(count * 10'000'000'000LL / how_.baud);
}

simulated_card::clock::time_point simulated_card::handed_over(clock::time_point due) const {
    if (how_.latency_ms <= 0) return due;
    const clock::duration tick = std::chrono::milliseconds(how_.latency_ms);
    const auto ticks = (due - started_ + tick - clock::duration(1)) / tick;
    return started_ + ticks * tick;
}

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

}  // namespace

relay::relay(const std::string& to, link_delay link) : to_(to), link_(link) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in own{};
    own.sin_family = AF_INET;
    own.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof own;
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (listener_ == -1 || wake_ == -1 ||
        bind(listener_, reinterpret_cast<sockaddr*>(&own), length) != 0 ||
        listen(listener_, 8) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&own), &length) != 0) {
        return;
    }
    address_ = "127.0.0.1:" + std::to_string(ntohs(own.sin_port));
    thread_ = std::thread([this] { serve(); });
}

relay::~relay() {
    const std::uint64_t one = 1;
    if (wake_ != -1 && write(wake_, &one, sizeof one) != sizeof one) {
        // An eventfd refuses only at its limit, and then it is readable all the same.
    }
    if (thread_.joinable()) thread_.join();
    if (wake_ != -1) close(wake_);
    if (listener_ != -1) close(listener_);
}

void relay::serve() {
    // As the card's own thread: a loaded machine would otherwise add delays of
    // its own to those the relay is told.
    sched_param priority{};
    priority.sched_priority = sched_get_priority_min(SCHED_FIFO);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
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

serial_server::serial_server(const simulated_card& card, const std::string& options) {
    missing_ = access("/usr/sbin/ser2net", X_OK) != 0;
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
    // Each # is a new line of its configuration.
    const std::size_t colon = address.find(':');
    std::string configuration = "connection: &card#  accepter: telnet(rfc2217),tcp," +
                                address.substr(0, colon) + "," + address.substr(colon + 1) +
                                "#  connector: serialdev," + card.path() + ",115200n82,local";
    if (!options.empty()) configuration += "#  options:#    " + options;
    const char* const argv[] = {"ser2net", "-n", "-u", "-Y", configuration.c_str(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const bool started = posix_spawn(&pid, "/usr/sbin/ser2net", &actions, nullptr,
                                     const_cast<char* const*>(argv), environ) == 0;
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
            url_ = "rfc2217://" + address;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

serial_server::~serial_server() {
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

std::string escape(const std::string& bytes) {
    std::string text(4 * bytes.size() + 1, '\0');
    text.resize(show_bytes(bytes.data(), bytes.size(), text.data(), text.size()));
    return text;
}

std::optional<std::string> unescape(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (++i == text.size()) return std::nullopt;
        switch (text[i]) {
        case 'r': bytes += '\r'; break;
        case 'n': bytes += '\n'; break;
        case '\\': bytes += '\\'; break;
        case 'x': {
            const std::string hex = text.substr(i + 1, 2);
            if (hex.size() != 2 || !std::isxdigit(static_cast<unsigned char>(hex[0])) ||
                !std::isxdigit(static_cast<unsigned char>(hex[1]))) {
                return std::nullopt;
            }
            bytes += static_cast<char>(std::stoi(hex, nullptr, 16));
            i += 2;
            break;
        }
        default: return std::nullopt;
        }
    }
    return bytes;
}

}  // namespace card_sim
