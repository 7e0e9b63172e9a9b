// The quellon program as a child process in console mode for program tests:
// `program -c <ini>` with standard input on a pipe (what the operator types)
// and standard output and error in files. A program still running when the
// object goes is killed. Used by the test's own thread only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/app/tempdir.h"

class QuellonProcess {
  public:
    // Starts program with -c ini; standard error goes to errPath, or with
    // standard output to outPath when errPath is empty.
    QuellonProcess(const std::string& program, const std::string& ini, const std::string& outPath,
                   const std::string& errPath = "")
        : outPath(outPath) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(fds[0], 0);
            int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err =
                errPath.empty() ? out : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            execl(program.c_str(), program.c_str(), "-c", ini.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[0]);
        input = fds[1];
    }
    ~QuellonProcess() {
        if (input >= 0) close(input);
        if (pid > 0 && !ended) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    QuellonProcess(const QuellonProcess&) = delete;
    QuellonProcess& operator=(const QuellonProcess&) = delete;

    // True once the program's standard output contains text, within
    // timeoutMs; false at once when the program has ended without it.
    bool WaitForOutput(const std::string& text, int timeoutMs) {
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            if (ReadWholeFile(outPath).find(text) != std::string::npos) return true;
            if (HasEnded()) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // What the operator types at the console; false when it was not written.
    bool Type(const std::string& text) {
        return input >= 0 && write(input, text.data(), text.size()) == ssize_t(text.size());
    }

    // The exit code (128 + signal for a program that was killed), or -1 when
    // the program has not ended within timeoutMs.
    int WaitForExit(int timeoutMs) {
        for (int waited = 0; waited < timeoutMs; waited += 20) {
            if (HasEnded()) return exitCode;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

  private:
    bool HasEnded() {
        if (ended) return true;
        int status = 0;
        if (pid <= 0 || waitpid(pid, &status, WNOHANG) != pid) return false;
        ended = true;
        exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }

    std::string outPath;
    pid_t pid = -1;
    int input = -1;
    bool ended = false;
    int exitCode = -1;
};
