// Runs the built programs as a user would, with every wait bounded.
#pragma once

#include <string>

#include <sys/types.h>
#include <vector>
#include "card_sim.h"

struct run_result {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
    bool timed_out = false;
};

struct child_process {
    pid_t pid = -1;
    int out_fd = -1;
    int err_fd = -1;
};

// Starts path with argv[0] set to name and stdin from /dev/null.
child_process spawn(const std::string& path, const std::string& name,
                    const std::vector<std::string>& args);
// Reads stdout up to the first newline (which is not returned), for at most timeout_ms.
std::string read_line(const child_process& child, int timeout_ms);
// Collects the rest of the output and the status; kills the child at the deadline.
run_result finish(child_process& child, int timeout_ms);

// Runs the built io_card, invoked as "io_card". A redirect such as "2>&-" is
// applied by a shell that then execs io_card.
run_result run_io_card(const std::vector<std::string>& args, int timeout_ms = 10000,
                       const std::string& redirect = {});

// Runs io_card with -p and the card's path before args.
run_result run_on(const card_sim::simulated_card& card, const std::vector<std::string>& args,
                  const std::string& redirect = {});
// The whole of a small file; empty if it cannot be read.
std::string read_file(const std::string& path);

// One run of io_card against a fresh simulated card, and what it must leave.
struct wire_case {
    const char* name;
    card_sim::behaviour card;
    std::vector<std::string> args;  // after -p and the card's path
    std::string wire;               // every byte the card received
    std::string out;
    std::string err;  // "{port}" stands for the card's path
    int status;
    std::string stale = {};     // queued on the line, raw from an earlier run, before this run
    std::string redirect = {};  // as for run_io_card
    std::vector<std::string> before = {};  // args of a run on the same card just before
    int kill_before_ms = 0;                // kill that run this long after its start
};
void expect_run(const wire_case& c);

card_sim::behaviour card_with(std::string states);
