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
    keep_time();
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

void keep_time() {
    sched_param priority{};
    priority.sched_priority = sched_get_priority_min(SCHED_FIFO);
    pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority);
    // The default timer slack would make every paced byte up to 50 us late.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
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
