// The card's wire protocol: the get command, the set frame, and the one reader
// that decides where each of the card's answers begins and ends.
#pragma once

#include <cstddef>

#include "options.h"

// The most one answer may hold: a terminal's input buffer.
inline constexpr std::size_t answer_capacity = 4096;

struct card_answer {
    char bytes[answer_capacity];
    std::size_t count;
};

// Writes the get command 'g'. Whatever is still arriving for the command before
// is read to quiet and printed first, as that command's answer. If the command
// cannot be written: prints "Error writing to <port>", closes fd and exits with
// status 1.
void send_get(int fd, const card_request& request);

// Writes the set frame 's', the 8 bytes of request.data, 's' in one write, after
// printing what is still arriving, as send_get. Fails as send_get.
void send_set(int fd, const card_request& request);

// Reads one answer into answer. The card has wait_ms from now to begin it: if
// nothing has arrived by then, the answer is empty. Once begun, it is over when
// the line has been quiet for request.gap_ms, however soon that is, unless it
// holds fewer than least bytes and wait_ms, from now or from its first byte, is
// not over yet; with wait_ms 0 and
// nothing queued it returns at once. Ends the run (what came before flushed to
// stdout, fd closed, status 1, this answer not printed) when the answer holds
// more than answer_capacity bytes, when bytes still arrive 1 s after wait_ms,
// or when the device hangs up or cannot be read.
void read_answer(int fd, const card_request& request, int wait_ms, card_answer& answer,
                 std::size_t least = 0);

// Sends 'g' and reads its answer into answer, as read_answer: the card has the
// pause, and on a server the round trip measured (and a raw bridge's packing
// allowance), and an answer shorter than
// the states goes on until then. Fails as send_get and read_answer.
void get_answer(int fd, const card_request& request, card_answer& answer);

// Ends the run as fail_on_port with format, when the card gave no answer; on a
// server, the reason line names the round trip measured and the pause after it;
// on a raw bridge, its packing allowance too, and a --pause to try.
[[noreturn]] void fail_no_answer(int fd, const card_request& request, const char* format);

// Writes the answer's bytes from position from on to stdout, unchanged.
void print_answer(const card_answer& answer, std::size_t from = 0);

// Discards what is queued on the line before this run's first command, and what
// may still come of an answer to an earlier run's command: a late answer, or the
// rest of one, or noise. Where an earlier run may still be owed an answer (see
// owed_answer_since), discarding goes on until the line has been quiet for the
// pause; otherwise, if anything was queued, for the gap. An idle line after a
// run that ended whole costs no wait. Fails as read_answer, or with "Error
// setting up <port>" if the queue cannot be flushed.
void discard_stale_input(int fd, const card_request& request);

// Sends 'g' and reads its answer into states, as get_answer. Returns whether it
// begins with eight '0' or '1' bytes, the card's states; prints nothing, and
// fails only as get_answer does.
bool get_states(int fd, const card_request& request, card_answer& states);

// Ends the run as fail_on_port, no pattern written, for an answer that
// get_states found without states: "No answer" (nothing came) or "No valid
// state".
[[noreturn]] void fail_no_states(int fd, const card_request& request, const card_answer& states);

// Sends 'g' and reads the card's states into states: its first eight bytes. The
// states are the program's own; what followed them in the answer is printed.
// Without states, fails as fail_no_states; otherwise fails as read_answer.
void read_states(int fd, const card_request& request, card_answer& states);

// Puts into request.data the states that the outputs are to take: those of
// states, with the masks of request merged in. On beats off; a toggle takes the
// opposite of the state read.
void merge_outputs(card_request& request, const card_answer& states);

// What became of a set frame: when it had been written, on CLOCK_MONOTONIC in
// ns, and whether the card began an answer within the pause. A card that says
// nothing to a pattern may yet be about to: the line stays owed.
struct pattern_written {
    long long at;
    bool answered;
};

// Writes request.data as the set frame, then reads and prints the card's answer.
// Fails as send_set and read_answer.
pattern_written write_pattern(int fd, const card_request& request);

// Reads the card's states back with 'g' into answer and returns whether its
// first eight bytes are request.data, the pattern just written. Prints nothing
// of the answer: the read-back is the program's own check. Fails as read_answer.
bool reads_back(int fd, const card_request& request, card_answer& answer);

// Ends the run as fail_on_port with "the card on <port> holds <what answer
// holds>, not <pattern>", for a read-back that reads_back found wrong.
[[noreturn]] void fail_not_held(int fd, const card_request& request, const card_answer& answer);

// Reads the states back as reads_back, and fails as fail_not_held unless the
// card holds the pattern.
void verify_outputs(int fd, const card_request& request);

// Discards whatever the card begins to send within the pause, to its end: an
// answer too late for its command, before that command is sent again. Fails as
// read_answer.
void let_line_settle(int fd, const card_request& request);
