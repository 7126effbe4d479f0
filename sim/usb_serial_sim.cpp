// usb_serial_sim: the simulated card behind a model of a USB serial chip, for
// the kernel's own drivers. Run by tools/vm-check inside its virtual machine:
//
//   usb_serial_sim CHIP --log FILE --control FIFO [--port N] [--extra BYTES]
//   usb_serial_sim serial --device TTY --unplug FILE --log FILE --control FIFO
//
// CHIP (ft232r, ch340, cp2102, pl2303) is presented to the kernel through
// USB/IP: the program holds one end of a socket pair and hands the other to
// vhci_hcd's attach file, then answers the kernel's USB requests itself, so that
// the stock driver (ftdi_sio, ch341, cp210x, pl2303) binds and opens it
// unchanged. The chip's UART runs at the rate and framing that the driver's
// requests encode, and the card answers over it. "serial" serves the card on a
// USB gadget's serial device instead, as a card that is its own USB device.
//
// The log holds, with CLOCK_MONOTONIC times in seconds, every request the
// driver made, the line it set, every packet, and the card's frames. The
// control FIFO takes one command a line:
//   silent          the card from now on is a new one that never answers
//   plain           the card from now on is a new one that sends no extra bytes
//   kill-on-frame   the card dies as its next frame has arrived
//   unplug-on-frame MS  the device is unplugged MS ms after the card's next frame
//   phase MS        (ft232r) answers begin MS ms after a packet to the host
//   hold-latency MS (ft232r) the timer stays at MS ms whatever the driver sets;
//                   0 lets the driver set it again
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "card_sim.h"

namespace {

using clock = std::chrono::steady_clock;
using bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

FILE* log_file = stderr;

double seconds(clock::time_point when) {
    return std::chrono::duration<double>(when.time_since_epoch()).count();
}

// One line of the log, after the time it was written: format, as printf's,
// with its values.
template <typename... Values>
void note(const char* format, Values... values) {
    char text[1024];
    if constexpr (sizeof...(values) == 0) {
        std::snprintf(text, sizeof text, "%s", format);
    } else {
        std::snprintf(text, sizeof text, format, values...);
    }
    std::fprintf(log_file, "%.6f %s\n", seconds(clock::now()), text);
    std::fflush(log_file);
}

std::string hex(const bytes& data) {
    std::string text;
    char byte[4];
    for (const std::uint8_t value : data) {
        std::snprintf(byte, sizeof byte, text.empty() ? "%02x" : " %02x", value);
        text += byte;
    }
    return text;
}

std::string shown(const bytes& data) {
    return card_sim::escape(std::string(data.begin(), data.end()));
}

void put16(bytes& to, unsigned value) {
    to.push_back(static_cast<std::uint8_t>(value & 0xff));
    to.push_back(static_cast<std::uint8_t>(value >> 8 & 0xff));
}

void put32(bytes& to, std::uint32_t value) {
    put16(to, value & 0xffff);
    put16(to, value >> 16);
}

std::uint32_t le32(const bytes& data, std::size_t at) {
    std::uint32_t value = 0;
    for (std::size_t i = 4; i-- > 0;)
        value = value << 8 | (at + i < data.size() ? data[at + i] : 0);
    return value;
}

// The UART's framing as the driver set it.
struct line_settings {
    long baud = 9600;
    int data_bits = 8;
    char parity = 'N';
    int stop_halves = 2;  // 2: one stop bit, 3: one and a half, 4: two
    std::string flow = "none";

    std::string text() const {
        char stop[8];
        std::snprintf(stop, sizeof stop, "%s",
                      stop_halves == 3   ? "1.5"
                      : stop_halves == 4 ? "2"
                                         : "1");
        return std::to_string(baud) + " " + std::to_string(data_bits) + parity + stop + " flow " +
               flow;
    }
    // One character on the wire: start bit, data, parity and stop bits.
    nanoseconds char_time() const {
        const long long half_bits = 2LL * (1 + data_bits + (parity == 'N' ? 0 : 1)) + stop_halves;
        return nanoseconds(half_bits * 500'000'000LL / std::max(baud, 1L));
    }
};

char parity_letter(unsigned code) {
    static constexpr std::array<char, 5> letters = {'N', 'O', 'E', 'M', 'S'};
    return code < letters.size() ? letters[code] : '?';
}

struct setup_packet {
    std::uint8_t type = 0, request = 0;
    unsigned value = 0, index = 0, length = 0;
};

// What the chip answers a control request: stall, or success with data.
struct reply {
    bool stall = false;
    bytes data;
};

constexpr std::uint8_t dir_in = 0x80;

// A request the model has no meaning for: logged, and answered with zeros, as
// a register that holds nothing would be.
reply unknown(const setup_packet& s, const bytes& data) {
    note("request %02x %02x 0x%04x 0x%04x %u %s", s.type, s.request, s.value, s.index, s.length,
         hex(data).c_str());
    return {false, bytes((s.type & dir_in) != 0 ? s.length : 0, 0)};
}

// The chip: its descriptors, its requests, its line and its timing.
class chip {
public:
    virtual ~chip() = default;
    std::string name;
    bytes device_descriptor, configuration;
    std::vector<std::string> strings;  // indices 1...
    std::uint8_t bulk_in = 0, bulk_out = 0;
    unsigned packet_size = 64;
    line_settings line;
    bool line_known = false;
    virtual reply vendor(const setup_packet& setup, const bytes& data) = 0;
    // Bytes not yet on the wire: for a driver that asks the chip whether it is done.
    long queued_for_wire = 0;
    bool wire_empty = true;
    // In the chip's receive buffer, for the host: each byte with when it came in.
    std::deque<std::pair<clock::time_point, std::uint8_t>> received;
    // The chip's packet for a read that the host asked for at asked; false with
    // nothing to send yet.
    virtual bool deliver(clock::time_point now, clock::time_point asked, bytes& packet) {
        (void)now;
        (void)asked;
        if (received.empty()) return false;
        while (!received.empty() && packet.size() < packet_size) {
            packet.push_back(received.front().second);
            received.pop_front();
        }
        return true;
    }
    // When deliver may next have something without new bytes: never by default.
    virtual clock::time_point next_deadline() const { return clock::time_point::max(); }
    // A packet went at now, for a read that the host asked for at asked.
    virtual void sent_packet(clock::time_point now, clock::time_point asked) {
        (void)now;
        (void)asked;
    }
    void purge_received() { received.clear(); }

protected:
    void set_line(const line_settings& settings) {
        if (line_known && settings.text() == line.text()) return;
        line = settings;
        line_known = true;
        note("line %s", line.text().c_str());
    }
};

bytes device_descriptor(unsigned usb, std::uint8_t max0, unsigned vendor, unsigned product,
                        unsigned release, std::uint8_t klass) {
    bytes d = {18, 1};
    put16(d, usb);
    d.insert(d.end(), {klass, 0, 0, max0});
    put16(d, vendor);
    put16(d, product);
    put16(d, release);
    d.insert(d.end(), {1, 2, 3, 1});
    return d;
}

// One configuration, one vendor-specific interface, these endpoints
// (address, attributes, size, interval).
bytes configuration(const std::vector<std::array<unsigned, 4>>& endpoints, std::uint8_t subclass,
                    std::uint8_t protocol) {
    bytes c = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
    c.insert(c.end(), {9, 4, 0, 0, static_cast<std::uint8_t>(endpoints.size()), 0xff, subclass,
                       protocol, 0});
    for (const auto& e : endpoints) {
        c.insert(c.end(), {7, 5, static_cast<std::uint8_t>(e[0]), static_cast<std::uint8_t>(e[1])});
        put16(c, e[2]);
        c.push_back(static_cast<std::uint8_t>(e[3]));
    }
    c[2] = static_cast<std::uint8_t>(c.size());
    return c;
}

// FT232R: ftdi_sio's requests, and the chip's latency timer: a packet, two
// status bytes and up to 62 of data, when 62 bytes wait or the timer runs out,
// a status packet alone if nothing came; the timer restarts at every packet.
class ft232r : public chip {
public:
    ft232r() {
        name = "FT232R";
        device_descriptor = ::device_descriptor(0x0200, 8, 0x0403, 0x6001, 0x0600, 0);
        configuration = ::configuration({{0x81, 2, 64, 0}, {0x02, 2, 64, 0}}, 0xff, 0xff);
        strings = {"FTDI", "FT232R USB UART", "A10KZP3C"};
        bulk_in = 0x81;
        bulk_out = 0x02;
    }
    int latency_ms = 16;
    nanoseconds phase{0};     // an answer begins this long after a packet, if set
    int held_latency_ms = 0;  // the timer whatever the driver asks, if set
    clock::time_point last_packet{};

    std::array<std::uint8_t, 2> status() const {
        // CTS, DSR and DCD on; THRE and TEMT only once the wire is idle.
        return {0xb1, static_cast<std::uint8_t>(wire_empty ? 0x60 : 0x00)};
    }

    reply vendor(const setup_packet& s, const bytes& data) override {
        line_settings next = line;
        switch (s.request) {
        case 0x00:
            note("request RESET %u", s.value);
            if (s.value != 2) purge_received();
            return {};
        case 0x01: note("request MODEM_CTRL 0x%04x", s.value); return {};
        case 0x02: {
            const unsigned flow = s.index >> 8;
            note("request SET_FLOW 0x%04x index 0x%04x", s.value, s.index);
            next.flow = flow == 0  ? "none"
                        : flow & 1 ? "rts/cts"
                        : flow & 2 ? "dtr/dsr"
                                   : "xon/xoff";
            set_line(next);
            return {};
        }
        case 0x03: {
            note("request SET_BAUD 0x%04x index 0x%04x", s.value, s.index);
            const unsigned divisor = s.value | (s.index & 1) << 16;
            static constexpr std::array<int, 8> eighths = {0, 4, 2, 1, 3, 5, 6, 7};
            const long whole = divisor & 0x3fff;
            const long eights = whole * 8 + eighths[divisor >> 14 & 7];
            next.baud = divisor == 0   ? 3000000
                        : divisor == 1 ? 2000000
                                       : 24000000L / std::max(eights, 1L);
            set_line(next);
            return {};
        }
        case 0x04:
            note("request SET_DATA 0x%04x", s.value);
            next.data_bits = static_cast<int>(s.value & 0xff);
            next.parity = parity_letter(s.value >> 8 & 7);
            next.stop_halves = (s.value >> 11 & 3) == 0 ? 2 : (s.value >> 11 & 3) == 1 ? 3 : 4;
            set_line(next);
            return {};
        case 0x05: {
            const auto now = status();
            note("request GET_MODEM_STATUS: %02x %02x", now[0], now[1]);
            return {false, {now[0], now[1]}};
        }
        case 0x09:
            latency_ms = held_latency_ms > 0 ? held_latency_ms
                                             : std::max(1, static_cast<int>(s.value & 0xff));
            note("request SET_LATENCY %u", s.value);
            return {};
        case 0x0a:
            note("request GET_LATENCY: %d", latency_ms);
            return {false, {static_cast<std::uint8_t>(latency_ms)}};
        case 0x90: note("request READ_EEPROM 0x%04x", s.index); return {false, bytes(s.length, 0)};
        default: return unknown(s, data);
        }
    }

    bool deliver(clock::time_point now, clock::time_point asked, bytes& packet) override {
        const std::size_t room = packet_size - 2;
        const clock::time_point expiry = last_packet + milliseconds(latency_ms);
        if (received.size() < room && now < expiry) return false;
        by_timer_ = received.size() < room;
        // The chip sent the packet when its timer ran out, if the host's read
        // was waiting then: with what had come by then, however late this
        // program got round to it.
        const clock::time_point sent = by_timer_ && asked <= expiry ? expiry : now;
        const auto head = status();
        packet = {head[0], head[1]};
        while (!received.empty() && received.front().first <= sent && packet.size() < packet_size) {
            packet.push_back(received.front().second);
            received.pop_front();
        }
        return true;
    }
    clock::time_point next_deadline() const override {
        return last_packet + milliseconds(latency_ms);
    }
    void sent_packet(clock::time_point now, clock::time_point asked) override {
        // The timer restarts when it sent the packet: at its expiry if the host's
        // read was waiting then, however late this program got round to it.
        const clock::time_point expiry = last_packet + milliseconds(latency_ms);
        last_packet = by_timer_ && asked <= expiry ? expiry : now;
    }

private:
    bool by_timer_ = false;
};

// CH340: ch341's registers, read and written two at a time.
class ch340 : public chip {
public:
    ch340() {
        name = "CH340";
        device_descriptor = ::device_descriptor(0x0110, 8, 0x1a86, 0x7523, 0x0264, 0xff);
        configuration =
            ::configuration({{0x82, 2, 32, 0}, {0x02, 2, 32, 0}, {0x81, 3, 8, 1}}, 0x01, 0x02);
        strings = {"QinHeng Electronics", "USB Serial", "0"};
        bulk_in = 0x82;
        bulk_out = 0x02;
        packet_size = 32;
        registers[0x06] = 0xf4;  // modem inputs, inverted: CTS, DSR and DCD on
        registers[0x07] = 0xff;
    }
    std::array<std::uint8_t, 256> registers{};

    void decode() {
        line_settings next = line;
        const unsigned prescaler = registers[0x12], divisor = 256U - registers[0x13];
        const unsigned factor = 1U << (12 - 3 * (prescaler & 3) - (prescaler >> 2 & 1));
        next.baud = static_cast<long>(48000000U / (factor * divisor));
        const unsigned lcr = registers[0x18];
        next.data_bits = 5 + static_cast<int>(lcr & 3);
        next.parity = !(lcr & 0x08) ? 'N' : "OEMS"[lcr >> 4 & 3];
        next.stop_halves = lcr & 0x04 ? 4 : 2;
        set_line(next);
    }

    reply vendor(const setup_packet& s, const bytes& data) override {
        const unsigned first = s.value & 0xff, second = s.value >> 8;
        switch (s.request) {
        case 0x5f: note("request READ_VERSION: 31 00"); return {false, {0x31, 0x00}};
        case 0xa1:
            note("request SERIAL_INIT 0x%04x 0x%04x", s.value, s.index);
            registers[0x12] = static_cast<std::uint8_t>(s.index & 0xff);
            registers[0x13] = static_cast<std::uint8_t>(s.index >> 8);
            return {};
        case 0x9a:
            note("request WRITE_REG 0x%04x 0x%04x", s.value, s.index);
            registers[first] = static_cast<std::uint8_t>(s.index & 0xff);
            registers[second] = static_cast<std::uint8_t>(s.index >> 8);
            if (first == 0x12 || first == 0x18) decode();
            return {};
        case 0x95: {
            const bytes value = {registers[first], registers[second]};
            note("request READ_REG 0x%04x: %s", s.value, hex(value).c_str());
            return {false, value};
        }
        case 0xa4: note("request MODEM_CTRL 0x%04x", s.value); return {};
        default: return unknown(s, data);
        }
    }
};

// CP2102: cp210x's interface requests.
class cp2102 : public chip {
public:
    cp2102() {
        name = "CP2102";
        device_descriptor = ::device_descriptor(0x0110, 64, 0x10c4, 0xea60, 0x0100, 0);
        configuration = ::configuration({{0x81, 2, 64, 0}, {0x01, 2, 64, 0}}, 0, 0);
        strings = {"Silicon Labs", "CP2102 USB to UART Bridge Controller", "0001"};
        bulk_in = 0x81;
        bulk_out = 0x01;
        put32(flow_block, 0x01);  // DTR on
        put32(flow_block, 0x40);  // RTS on
        put32(flow_block, 0x80);
        put32(flow_block, 0x80);
        chars.assign(6, 0);
    }
    unsigned line_control = 0x0800;
    bytes flow_block, chars;

    reply vendor(const setup_packet& s, const bytes& data) override {
        line_settings next = line;
        switch (s.request) {
        case 0x00: note("request IFC_ENABLE %u", s.value); return {};
        case 0x01:
            note("request SET_BAUDDIV %u", s.value);
            next.baud = 3686400L / std::max(s.value, 1U);
            set_line(next);
            return {};
        case 0x03:
            note("request SET_LINE_CTL 0x%04x", s.value);
            line_control = s.value;
            next.data_bits = static_cast<int>(s.value >> 8);
            next.parity = parity_letter(s.value >> 4 & 0xf);
            next.stop_halves = (s.value & 0xf) == 0 ? 2 : (s.value & 0xf) == 1 ? 3 : 4;
            set_line(next);
            return {};
        case 0x04: {
            bytes value;
            put16(value, line_control);
            note("request GET_LINE_CTL: %s", hex(value).c_str());
            return {false, value};
        }
        case 0x07: note("request SET_MHS 0x%04x", s.value); return {};
        case 0x08: note("request GET_MDMSTS: b3"); return {false, {0xb3}};
        case 0x10: {
            bytes value(8, 0);
            put32(value, 0);
            put32(value, static_cast<std::uint32_t>(queued_for_wire));
            value.insert(value.end(), {0, 0, 0});
            note("request GET_COMM_STATUS: %ld to send", queued_for_wire);
            return {false, value};
        }
        case 0x12:
            note("request PURGE 0x%04x", s.value);
            if (s.value & 0x0a) purge_received();
            return {};
        case 0x13: {
            note("request SET_FLOW %s", hex(data).c_str());
            flow_block = data;
            flow_block.resize(16, 0);
            const std::uint32_t handshake = le32(data, 0), replace = le32(data, 4);
            next.flow = handshake & 0x08   ? "rts/cts"
                        : handshake & 0x10 ? "dtr/dsr"
                        : replace & 0x03   ? "xon/xoff"
                                           : "none";
            set_line(next);
            return {};
        }
        case 0x14:
            note("request GET_FLOW: %s", hex(flow_block).c_str());
            return {false, flow_block};
        case 0x19:
            note("request SET_CHARS %s", hex(data).c_str());
            chars = data;
            return {};
        case 0x1d: {
            bytes value;
            put32(value, static_cast<std::uint32_t>(line.baud));
            note("request GET_BAUDRATE: %ld", line.baud);
            return {false, value};
        }
        case 0x1e:
            note("request SET_BAUDRATE %u", le32(data, 0));
            next.baud = le32(data, 0);
            set_line(next);
            return {};
        case 0xff:
            if (s.value == 0x370b) {
                note("request GET_PARTNUM: 02");
                return {false, {0x02}};
            }
            [[fallthrough]];
        default: return unknown(s, data);
        }
    }
};

// PL2303HX: pl2303's vendor registers and CDC-style line requests.
class pl2303 : public chip {
public:
    pl2303() {
        name = "PL2303";
        device_descriptor = ::device_descriptor(0x0110, 64, 0x067b, 0x2303, 0x0300, 0);
        configuration =
            ::configuration({{0x81, 3, 10, 1}, {0x02, 2, 64, 0}, {0x83, 2, 64, 0}}, 0, 0);
        strings = {"Prolific Technology Inc.", "USB-Serial Controller", "0"};
        bulk_in = 0x83;
        bulk_out = 0x02;
        line_request = {0x80, 0x25, 0, 0, 0, 0, 8};
    }
    bytes line_request;
    std::array<std::uint8_t, 256> registers{};

    void decode() {
        line_settings next = line;
        const std::uint32_t rate = le32(line_request, 0);
        if (rate & 0x80000000U) {
            const unsigned mantissa = line_request[0] | (line_request[1] & 1U) << 8;
            const unsigned exponent = line_request[1] >> 1 & 7;
            next.baud = 384000000L / std::max(1L, static_cast<long>(mantissa) << (2 * exponent));
        } else {
            next.baud = rate;
        }
        next.stop_halves = line_request[4] == 0 ? 2 : line_request[4] == 1 ? 3 : 4;
        next.parity = parity_letter(line_request[5]);
        next.data_bits = line_request[6];
        const unsigned flow = registers[0] & 0xf0;
        next.flow = flow == 0x60 || flow == 0x40 ? "rts/cts" : flow == 0xc0 ? "xon/xoff" : "none";
        set_line(next);
    }

    reply vendor(const setup_packet& s, const bytes& data) override {
        if (s.type == 0xc0 && s.request == 0x01) {
            const std::uint8_t value = s.value < 0x100 ? registers[s.value & 0x7f] : 0;
            note("request VENDOR_READ 0x%04x: %02x", s.value, value);
            return {false, {value}};
        }
        if (s.type == 0x40 && s.request == 0x01) {
            note("request VENDOR_WRITE 0x%04x 0x%04x", s.value, s.index);
            if (s.value < 0x80) registers[s.value] = static_cast<std::uint8_t>(s.index);
            if (s.value == 0) decode();
            return {};
        }
        switch (s.request) {
        case 0x20:
            note("request SET_LINE_REQUEST %s", hex(data).c_str());
            line_request = data;
            line_request.resize(7, 0);
            decode();
            return {};
        case 0x21:
            note("request GET_LINE_REQUEST: %s", hex(line_request).c_str());
            return {false, line_request};
        case 0x22: note("request SET_CONTROL_REQUEST 0x%04x", s.value); return {};
        case 0x23: note("request BREAK_REQUEST 0x%04x", s.value); return {};
        default: return unknown(s, data);
        }
    }
};

std::unique_ptr<chip> make_chip(const std::string& name) {
    if (name == "ft232r") return std::make_unique<ft232r>();
    if (name == "ch340") return std::make_unique<ch340>();
    if (name == "cp2102") return std::make_unique<cp2102>();
    if (name == "pl2303") return std::make_unique<pl2303>();
    return nullptr;
}

// What the control FIFO asked for, and what the card's thread saw.
struct actions {
    std::atomic<bool> kill_on_frame{false};
    std::atomic<long> unplug_ms{-1};  // after the next frame; -1: not asked
    std::atomic<bool> frame_seen{false};
    int wake = -1;  // an eventfd: the card's thread saw a frame
};

actions asked;

std::unique_ptr<card_sim::simulated_card> start_card(card_sim::behaviour how) {
    return std::make_unique<card_sim::simulated_card>(std::move(how), [](const std::string& text) {
        note("card %s", text.c_str());
        if (text.rfind(' ', 0) != 0 && !asked.frame_seen.exchange(true)) {
            const std::uint64_t one = 1;
            if (write(asked.wake, &one, sizeof one) != sizeof one) {
                // An eventfd refuses only at its limit, and then it is still readable.
            }
        }
    });
}

// The USB/IP link to vhci_hcd and the chip behind it.
class usbip_device {
public:
    usbip_device(std::unique_ptr<chip> model, int socket, int port)
        : chip_(std::move(model)), socket_(socket), port_(port) {}

    bool handle_command();  // false once the host has gone
    void advance(clock::time_point now);
    clock::time_point next_deadline() const;
    void from_card(const bytes& data, clock::time_point now);
    void unplug();
    int card_line = -1;  // the card's end of its pseudo-terminal, as the chip's wire
    chip& model() { return *chip_; }

private:
    struct urb {
        std::uint32_t seqnum = 0;
        unsigned ep = 0;
        bool in = false;
        std::int32_t length = 0;
        bytes data;  // OUT data not yet taken
        clock::time_point asked;
    };
    void answer(const urb& request, std::int32_t status, const bytes& data, std::size_t taken);
    void control(const urb& request, const setup_packet& setup);
    reply standard(const setup_packet& setup);

    std::unique_ptr<chip> chip_;
    int socket_;
    int port_;
    std::deque<urb> pending_;  // IN transfers the chip holds, and OUT ones it cannot take yet
    std::deque<std::pair<clock::time_point, std::uint8_t>> to_wire_;    // each leaves by its time
    std::deque<std::pair<clock::time_point, std::uint8_t>> from_wire_;  // each is in by its time
    clock::time_point tx_free_{}, rx_free_{};
};

std::uint32_t be32(const std::uint8_t* at) {
    return static_cast<std::uint32_t>(at[0]) << 24 | static_cast<std::uint32_t>(at[1]) << 16 |
           static_cast<std::uint32_t>(at[2]) << 8 | at[3];
}

void put_be32(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (24 - 8 * i));
}

bool read_all(int fd, std::uint8_t* to, std::size_t count) {
    while (count > 0) {
        const ssize_t got = read(fd, to, count);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        to += got;
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

void usbip_device::answer(const urb& request, std::int32_t status, const bytes& data,
                          std::size_t taken) {
    bytes message(48, 0);
    put_be32(&message[0], 3);  // RET_SUBMIT
    put_be32(&message[4], request.seqnum);
    put_be32(&message[20], static_cast<std::uint32_t>(status));
    put_be32(&message[24], static_cast<std::uint32_t>(request.in ? data.size() : taken));
    if (request.in) message.insert(message.end(), data.begin(), data.end());
    if (send(socket_, message.data(), message.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(message.size())) {
        note("cannot answer the host: %s", std::strerror(errno));
    }
}

reply usbip_device::standard(const setup_packet& s) {
    switch (s.request) {
    case 0x06: {  // GET_DESCRIPTOR
        const unsigned type = s.value >> 8, index = s.value & 0xff;
        if (type == 1) return {false, chip_->device_descriptor};
        if (type == 2) return {false, chip_->configuration};
        if (type == 3 && index == 0) return {false, {4, 3, 0x09, 0x04}};
        if (type == 3 && index <= chip_->strings.size()) {
            bytes d = {0, 3};
            for (const char c : chip_->strings[index - 1]) put16(d, static_cast<unsigned char>(c));
            d[0] = static_cast<std::uint8_t>(d.size());
            return {false, d};
        }
        return {true, {}};
    }
    case 0x00: return {false, {0, 0}};  // GET_STATUS
    case 0x08: return {false, {1}};     // GET_CONFIGURATION
    default: return {};                 // SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE...
    }
}

void usbip_device::control(const urb& request, const setup_packet& setup) {
    reply r;
    if ((setup.type & 0x60) == 0) {
        r = standard(setup);
        note("request %02x %02x 0x%04x 0x%04x %u (standard)%s", setup.type, setup.request,
             setup.value, setup.index, setup.length, r.stall ? ": stalled" : "");
    } else {
        r = chip_->vendor(setup, request.data);
    }
    if (r.stall) {
        answer(request, -32, {}, 0);  // -EPIPE
        return;
    }
    if (r.data.size() > setup.length) r.data.resize(setup.length);
    answer(request, 0, r.data, request.data.size());
}

bool usbip_device::handle_command() {
    std::uint8_t header[48];
    if (!read_all(socket_, header, sizeof header)) return false;
    const std::uint32_t command = be32(header), seqnum = be32(header + 4);
    if (command == 2) {  // CMD_UNLINK
        const std::uint32_t victim = be32(header + 20);
        std::int32_t status = 0;
        for (auto it = pending_.begin(); it != pending_.end(); ++it) {
            if (it->seqnum == victim) {
                pending_.erase(it);
                status = -104;  // -ECONNRESET: it never completed
                break;
            }
        }
        bytes message(48, 0);
        put_be32(&message[0], 4);  // RET_UNLINK
        put_be32(&message[4], seqnum);
        put_be32(&message[20], static_cast<std::uint32_t>(status));
        if (send(socket_, message.data(), message.size(), MSG_NOSIGNAL) != 48) return false;
        return true;
    }
    if (command != 1) {
        note("unknown USB/IP command %u", command);
        return false;
    }
    urb request;
    request.asked = clock::now();
    request.seqnum = seqnum;
    request.in = be32(header + 12) == 1;
    request.ep = be32(header + 16);
    request.length = static_cast<std::int32_t>(be32(header + 24));
    if (!request.in && request.length > 0) {
        request.data.resize(static_cast<std::size_t>(request.length));
        if (!read_all(socket_, request.data.data(), request.data.size())) return false;
    }
    if (request.ep == 0) {
        const std::uint8_t* s = header + 40;
        const auto word = [&](int at) { return static_cast<unsigned>(s[at] | s[at + 1] << 8); };
        const setup_packet setup{s[0], s[1], word(2), word(4), word(6)};
        control(request, setup);
        return true;
    }
    if (!request.in) note("out %s", shown(request.data).c_str());
    pending_.push_back(request);
    advance(clock::now());
    return true;
}

void usbip_device::from_card(const bytes& data, clock::time_point now) {
    const nanoseconds each = chip_->line.baud > 0 ? chip_->line.char_time() : nanoseconds(0);
    clock::time_point start = std::max(now, rx_free_);
    auto* timed = dynamic_cast<ft232r*>(chip_.get());
    if (timed != nullptr && timed->phase.count() > 0 && rx_free_ < now) {
        // The card begins its answer a set time after one of the chip's
        // packets: while idle the chip sends one every latency period.
        start = timed->last_packet + timed->phase;
        while (start < now) start += milliseconds(timed->latency_ms);
    }
    for (const std::uint8_t byte : data) {
        start += each;
        from_wire_.emplace_back(start, byte);
    }
    rx_free_ = start;
    // When the last of these bytes will have come off the wire, for the delay
    // from there to the packet that carries it.
    if (timed != nullptr) note("wire %zu ends %.6f", data.size(), seconds(start));
}

void usbip_device::advance(clock::time_point now) {
    // The chip's wire: bytes whose last bit is out reach the card.
    std::string out;
    while (!to_wire_.empty() && to_wire_.front().first <= now) {
        out += static_cast<char>(to_wire_.front().second);
        to_wire_.pop_front();
    }
    if (!out.empty() && card_line != -1 && write(card_line, out.data(), out.size()) < 0) {
        note("cannot reach the card: %s", std::strerror(errno));
    }
    while (!from_wire_.empty() && from_wire_.front().first <= now) {
        chip_->received.push_back(from_wire_.front());
        from_wire_.pop_front();
    }
    chip_->queued_for_wire = static_cast<long>(to_wire_.size());
    chip_->wire_empty = to_wire_.empty() && tx_free_ <= now;
    // OUT transfers the chip's buffer (256 bytes) can take, and IN transfers it
    // has a packet for, complete in order.
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (!it->in && it->ep == (chip_->bulk_out & 0x0f)) {
            if (to_wire_.size() + it->data.size() > 256) break;
            const nanoseconds each =
                chip_->line.baud > 0 ? chip_->line.char_time() : nanoseconds(0);
            for (const std::uint8_t byte : it->data) {
                tx_free_ = std::max(tx_free_, now) + each;
                to_wire_.emplace_back(tx_free_, byte);
            }
            chip_->queued_for_wire = static_cast<long>(to_wire_.size());
            chip_->wire_empty = to_wire_.empty() && tx_free_ <= now;
            answer(*it, 0, {}, it->data.size());
            it = pending_.erase(it);
            continue;
        }
        if (it->in && it->ep == (chip_->bulk_in & 0x0f)) {
            bytes packet;
            if (!chip_->deliver(now, it->asked, packet)) {
                ++it;
                continue;
            }
            if (packet.size() > static_cast<std::size_t>(it->length)) {
                packet.resize(static_cast<std::size_t>(it->length));
            }
            if (dynamic_cast<ft232r*>(chip_.get()) != nullptr) {
                note("in %02x %02x%s%s", packet[0], packet[1], packet.size() > 2 ? " " : "",
                     shown(bytes(packet.begin() + 2, packet.end())).c_str());
            } else {
                note("in %s", shown(packet).c_str());
            }
            answer(*it, 0, packet, 0);
            chip_->sent_packet(now, it->asked);
            it = pending_.erase(it);
            continue;
        }
        ++it;  // an interrupt endpoint: the chip has nothing to say on it
    }
}

clock::time_point usbip_device::next_deadline() const {
    clock::time_point next = clock::time_point::max();
    if (!to_wire_.empty()) next = std::min(next, to_wire_.front().first);
    if (to_wire_.empty() && tx_free_ > clock::now()) next = std::min(next, tx_free_);
    if (!from_wire_.empty()) next = std::min(next, from_wire_.front().first);
    for (const urb& waiting : pending_) {
        if (waiting.in && waiting.ep == (chip_->bulk_in & 0x0f)) {
            next = std::min(next, chip_->next_deadline());
            break;
        }
    }
    return next;
}

void usbip_device::unplug() {
    const int detach = open("/sys/devices/platform/vhci_hcd.0/detach", O_WRONLY | O_CLOEXEC);
    const std::string text = std::to_string(port_);
    if (detach == -1 || write(detach, text.data(), text.size()) < 0) {
        note("cannot unplug: %s", std::strerror(errno));
    }
    if (detach != -1) close(detach);
}

int open_raw(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios line{};
    if (fd != -1 && tcgetattr(fd, &line) == 0) {
        cfmakeraw(&line);
        tcsetattr(fd, TCSANOW, &line);
    }
    return fd;
}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "usb_serial_sim: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "Usage: %s ft232r|ch340|cp2102|pl2303|serial --log FILE --control FIFO "
                     "[--port N] [--extra BYTES] [--device TTY --unplug FILE]\n",
                     argv[0]);
        return 1;
    }
    const std::string kind = argv[1];
    std::string log_path, control_path, device, unplug_path;
    int port = 0;
    card_sim::behaviour how;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string option = argv[i], value = argv[i + 1];
        if (option == "--log") log_path = value;
        if (option == "--control") control_path = value;
        if (option == "--port") port = std::atoi(value.c_str());
        if (option == "--device") device = value;
        if (option == "--unplug") unplug_path = value;
        if (option == "--extra") how.get.extra = card_sim::unescape(value).value_or("");
    }
    std::unique_ptr<chip> model = make_chip(kind);
    if (model == nullptr && kind != "serial") {
        std::fprintf(stderr, "usb_serial_sim: unknown chip '%s'\n", kind.c_str());
        return 1;
    }
    log_file = std::fopen(log_path.c_str(), "a");
    if (log_file == nullptr) fail("cannot open the log");
    mkfifo(control_path.c_str(), 0600);
    const int control = open(control_path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    asked.wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (control == -1 || asked.wake == -1) fail("cannot open the control FIFO");
    // A loaded machine would otherwise move the chip's packets.
    card_sim::keep_time();

    how.device = device;
    std::unique_ptr<card_sim::simulated_card> card = start_card(how);
    if (card->path().empty()) fail("cannot start the card");

    std::unique_ptr<usbip_device> usb;
    int socket_end = -1;
    if (model != nullptr) {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) fail("socketpair");
        socket_end = ends[0];
        chip& plugged = *model;
        usb = std::make_unique<usbip_device>(std::move(model), socket_end, port);
        usb->card_line = open_raw(card->path());
        const std::string attach = std::to_string(port) + " " + std::to_string(ends[1]) + " " +
                                   std::to_string(port + 1) + " 2";  // full speed
        const int file = open("/sys/devices/platform/vhci_hcd.0/attach", O_WRONLY | O_CLOEXEC);
        if (file == -1 || write(file, attach.data(), attach.size()) < 0) fail("cannot attach");
        close(file);
        close(ends[1]);
        note("plugged in: %s on vhci_hcd port %d", plugged.name.c_str(), port);
    }
    clock::time_point unplug_at = clock::time_point::max();
    std::string commands;
    for (;;) {
        const clock::time_point now = clock::now();
        if (usb != nullptr) usb->advance(now);
        if (now >= unplug_at) {
            note("unplugged");
            if (usb != nullptr) {
                usb->unplug();
            } else {
                const int file = open(unplug_path.c_str(), O_WRONLY | O_CLOEXEC);
                if (file == -1 || write(file, "\n", 1) < 0) note("cannot unplug");
                if (file != -1) close(file);
            }
            unplug_at = clock::time_point::max();
        }
        clock::time_point next = unplug_at;
        if (usb != nullptr) next = std::min(next, usb->next_deadline());
        timespec wait{};
        timespec* timeout = nullptr;
        if (next != clock::time_point::max()) {
            const auto left = std::max(nanoseconds(0), next - clock::now());
            wait.tv_sec = static_cast<time_t>(left.count() / 1'000'000'000);
            wait.tv_nsec = static_cast<long>(left.count() % 1'000'000'000);
            timeout = &wait;
        }
        pollfd fds[4] = {{control, POLLIN, 0},
                         {asked.wake, POLLIN, 0},
                         {socket_end, POLLIN, 0},
                         {usb != nullptr ? usb->card_line : -1, POLLIN, 0}};
        if (ppoll(fds, 4, timeout, nullptr) < 0 && errno != EINTR) fail("poll");
        const clock::time_point woke = clock::now();
        if (fds[2].revents != 0 && !usb->handle_command()) {
            note("gone from the host");
            return 0;
        }
        if (fds[3].revents & POLLIN) {
            std::uint8_t buffer[256];
            const ssize_t got = read(usb->card_line, buffer, sizeof buffer);
            if (got > 0) usb->from_card(bytes(buffer, buffer + got), woke);
        } else if (fds[3].revents != 0) {
            close(usb->card_line);  // the card is gone: its line stays quiet
            usb->card_line = -1;
        }
        if (fds[1].revents != 0) {
            std::uint64_t count = 0;
            if (read(asked.wake, &count, sizeof count) == sizeof count) {
                if (asked.kill_on_frame.exchange(false)) {
                    if (usb != nullptr && usb->card_line != -1) {
                        close(usb->card_line);
                        usb->card_line = -1;
                    }
                    card.reset();
                    note("killed the card");
                }
                const long after = asked.unplug_ms.exchange(-1);
                if (after >= 0) unplug_at = woke + milliseconds(after);
            }
        }
        if (fds[0].revents != 0) {
            char buffer[256];
            const ssize_t got = read(control, buffer, sizeof buffer);
            if (got > 0) commands.append(buffer, static_cast<std::size_t>(got));
            for (std::size_t end; (end = commands.find('\n')) != std::string::npos;) {
                const std::string line = commands.substr(0, end);
                commands.erase(0, end + 1);
                note("asked: %s", line.c_str());
                if (line == "silent" || line == "plain") {
                    // A new card in the old one's place, with its states.
                    card_sim::behaviour fresh = how;
                    if (card != nullptr) fresh.states = card->states();
                    fresh.get.extra.clear();
                    if (line == "silent") fresh.get.max_bytes = fresh.set.max_bytes = 0;
                    if (usb != nullptr && usb->card_line != -1) close(usb->card_line);
                    card.reset();
                    card = start_card(fresh);
                    if (usb != nullptr) usb->card_line = open_raw(card->path());
                } else if (line == "kill-on-frame") {
                    asked.frame_seen = false;
                    asked.kill_on_frame = true;
                } else if (line.rfind("unplug-on-frame ", 0) == 0) {
                    asked.frame_seen = false;
                    asked.unplug_ms = std::atol(line.c_str() + 16);
                } else if (line.rfind("phase ", 0) == 0 && usb != nullptr) {
                    auto* timed = dynamic_cast<ft232r*>(&usb->model());
                    if (timed != nullptr) timed->phase = milliseconds(std::atol(line.c_str() + 6));
                } else if (line.rfind("hold-latency ", 0) == 0 && usb != nullptr) {
                    auto* timed = dynamic_cast<ft232r*>(&usb->model());
                    if (timed != nullptr) {
                        timed->held_latency_ms = static_cast<int>(std::atol(line.c_str() + 13));
                        if (timed->held_latency_ms > 0) timed->latency_ms = timed->held_latency_ms;
                    }
                }
            }
        }
    }
}
