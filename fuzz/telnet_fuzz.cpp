// libFuzzer's target for the Telnet decoder of serial_server, the one parser of
// bytes from a stranger on the network; tools/fuzz builds and runs it. Beyond
// "no crash", each input is checked twice: as a server's stream, which must
// decode to the same in any split; and as a script for a stream of known card
// bytes and subnegotiations, which it must decode to.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "serial_server.h"

namespace {

struct decoding {
    std::string card, replies, subnegotiations;
    bool refused = false;
    int error = 0;
    bool operator==(const decoding&) const = default;
};

// Decodes stream in pieces of the sizes that next_size() gives, as read_server
// does, up to the first error.
template <typename Sizes>
decoding decode(const std::string& stream, Sizes next_size) {
    telnet_decoder decoder;
    decoding result;
    for (std::size_t at = 0; at < stream.size() && result.error == 0;) {
        std::string piece = stream.substr(at, std::min(next_size(), decode_capacity));
        const telnet_decoded decoded = decode_from_server(decoder, piece.data(), piece.size());
        result.card.append(piece, 0, decoded.kept);
        result.replies.append(reinterpret_cast<const char*>(decoded.replies),
                              decoded.replies_length);
        result.subnegotiations.append(reinterpret_cast<const char*>(decoded.subnegotiations),
                                      decoded.subnegotiations_length);
        result.refused = result.refused || decoded.refused;
        result.error = decoded.error;
        at += piece.size();
    }
    return result;
}

void expect(bool held, const char* what) {
    if (held) return;
    std::fprintf(stderr, "telnet_fuzz: %s\n", what);
    std::abort();
}

// The stream whole, a byte at a time, and in pieces whose sizes the input gives.
decoding decode_in_splits(const std::string& stream, const std::uint8_t* data, std::size_t size) {
    const decoding whole = decode(stream, [] { return decode_capacity; });
    expect(decode(stream, [] { return std::size_t{1}; }) == whole,
           "a byte at a time, the stream decodes to something else");
    std::size_t next = 0;
    expect(decode(stream, [&] { return std::size_t{1} + data[next++ % size] % 37; }) == whole,
           "in pieces, the stream decodes to something else");
    return whole;
}

std::string encoded(const std::string& bytes) {
    std::string out(2 * bytes.size(), '\0');
    out.resize(encode_for_server(bytes.data(), bytes.size(), out.data()));
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const decoding raw = decode_in_splits(input, data, size);
    if (input.find('\xff') == std::string::npos) {
        expect(raw == decoding{input, {}, {}, false, 0},
               "a stream without IAC is not the card's bytes alone");
    }

    // Two bytes a step: what to put in the stream, and its argument.
    std::string stream, card, subnegotiations;
    int error = 0;
    for (std::size_t i = 0; i + 1 < size && error == 0; i += 2) {
        const std::uint8_t what = data[i] % 6;
        const auto argument = static_cast<char>(data[i + 1]);
        if (what <= 1 || (what == 5 && data[i + 1] >= 240)) {
            card += argument;
            stream += encoded(std::string(1, argument));
        } else if (what == 2) {  // WILL, WONT, DO or DONT an option
            stream += {'\xff', static_cast<char>(251 + data[i] / 6 % 4), argument};
        } else if (what == 3) {  // a command without an option: SE, NOP... GA
            stream += {'\xff', static_cast<char>(240 + data[i + 1] % 10)};
        } else if (what == 4) {  // a subnegotiation of the input's next bytes
            const std::size_t length = std::min<std::size_t>(data[i + 1] % 80, size - i - 2);
            const std::string sub = input.substr(i + 2, length);
            stream += "\xff\xfa" + encoded(sub) + "\xff\xf0";
            if (length > subnegotiation_capacity) {
                error = EMSGSIZE;
            } else {
                subnegotiations += static_cast<char>(length) + sub;
            }
            i += length;
        } else {  // IAC and a byte that is no command
            stream += {'\xff', argument};
            error = EPROTO;
        }
    }
    const decoding built = decode_in_splits(stream, data, size);
    expect(built.card == card, "the card's bytes are not the stream's data, IAC IAC undoubled");
    expect(built.error == error, "an error was missed, or one found where there is none");
    expect(built.subnegotiations == subnegotiations, "the subnegotiations are not the stream's");
    return 0;
}
