// Runs a command line for the end-to-end tests and collects what it prints.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace ombrel::test {

// Runs command through sh with standard error joined to standard output, stopped after
// timeoutSeconds. Returns the exit status: 124 after a timeout, 128 + N for signal N.
inline int runCommand(const std::string& command, std::string& output, int timeoutSeconds = 120) {
    output.clear();
    const std::string line = "timeout -k 5 " + std::to_string(timeoutSeconds) + " " + command;
    FILE* pipe = popen((line + " 2>&1").c_str(), "r");
    if (!pipe)
        return -1;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace ombrel::test
