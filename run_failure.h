// A run of the tool that cannot go on. Every failure below the tool's top level is thrown as
// a RunFailure; run_dialogue alone turns it into one line on stderr and an exit status.
#ifndef RUN_FAILURE_H
#define RUN_FAILURE_H

#include <cstring>
#include <stdexcept>
#include <string>

// The name that prefixes every message of the tool on stderr.
extern const char *const tool_name;

class RunFailure : public std::runtime_error {
public:
    // `message` without the tool's name; empty when the failure was already said.
    explicit RunFailure(const std::string &message, int status = 1) : std::runtime_error(message), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

[[noreturn]] inline void fail(const std::string &message)
{
    throw RunFailure(message);
}

// A failure on a file: what could not be done, the file, and the system's reason.
[[noreturn]] inline void fail_on_file(const std::string &what, const std::string &path, int error)
{
    throw RunFailure(what + " " + path + ": " + std::strerror(error));
}

#endif
