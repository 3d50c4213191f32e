#pragma once

#include <QByteArray>

#include <vector>

namespace core::os {

struct ProcessOutput {
    // The exit status, the number of the signal that ended the process, or -1 when unknown.
    int status = 0;
    bool signalled = false;
    // The process wrote more than the limit; it was killed and `output` holds the first bytes.
    bool overflow = false;
    QByteArray output;
};

// Runs the program at `argv[0]` (an absolute path; no search) with `argv` and the current
// environment, standard input from and standard error to the null device, and reads standard output
// to its end, at most `limit` bytes. Blocks until the child has exited, so never call it on the main
// thread. Throws std::system_error when the program cannot be started.
ProcessOutput runProcess(const std::vector<QByteArray>& argv, qsizetype limit);

} // namespace core::os
