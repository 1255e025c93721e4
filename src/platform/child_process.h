#pragma once

// Running one CGI child: its standard input and output on pipes, its own
// environment block and working directory, a time limit, and no child left
// behind on any path.

#include "common/deadline.h"

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

namespace platform {

struct ChildRun {
    // The command line as the server formed it. The program is its first word;
    // how the rest becomes arguments is the platform's rule.
    std::string_view command_line;
    // NAME=value texts, each followed by a NUL, then one more NUL: the whole
    // environment of the child.
    std::span<const char> environment_block;
    // The child's working directory, terminated.
    const char* working_directory = nullptr;
    // Written to the child's standard input, which then reaches its end.
    std::span<const char> input;
    // The child is ended when it is still running at this moment.
    Deadline time_limit = no_deadline;
    // The most output kept; a child that writes more is ended.
    std::size_t output_cap = 0;
};

enum class ChildRunStatus {
    finished,         // the child ended; `output` holds all it wrote
    start_failed,     // the child could not be started; nothing ran
    write_failed,     // its input could not be written; the child was ended
    timed_out,        // still running at the time limit; ended, output dropped
    output_too_large, // wrote more than the cap; ended, output dropped
};

// Runs the child to its end and collects what it writes to its standard output
// and standard error, both into one pipe, draining it while the child runs.
// Once the child has ended, what is in the pipe is read and collection stops,
// even when a grandchild holds the pipe open. On every path the child has been
// ended and reaped when this returns. No handle of this run is inherited by a
// child of another run.
ChildRunStatus run_child(const ChildRun& run, std::vector<char>& output);

} // namespace platform
