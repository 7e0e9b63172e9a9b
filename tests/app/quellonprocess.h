// The quellon program (or the service host) as a child process for program
// tests: the program with its arguments and environment, standard input on
// a pipe (what the operator types) and standard output and error in files.
// A program still running when the object goes is killed. Used by the
// test's own thread only.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/tempdir.h"
#include "tests/platform/eventually.h"

extern char** environ;

class QuellonProcess {
  public:
    // Starts program -c ini in console mode with this process's
    // environment; standard error goes to errPath, or with standard output
    // to outPath when errPath is empty.
    QuellonProcess(const std::string& program, const std::string& ini, const std::string& outPath,
                   const std::string& errPath = "")
        : QuellonProcess(program, {"-c", ini}, CurrentEnvironment(), outPath, errPath) {}

    // Starts program with args (after the program name) and exactly the
    // given environment ("NAME=value" entries); the streams as above.
    QuellonProcess(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& environment, const std::string& outPath,
                   const std::string& errPath = "")
        : outPath(outPath) {
        std::vector<std::string> argStrings = {program};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<char*> argv = Pointers(argStrings);
        std::vector<std::string> envStrings = environment;
        std::vector<char*> envp = Pointers(envStrings);
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
            execve(program.c_str(), argv.data(), envp.data());
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

    // The entries of this process's environment.
    static std::vector<std::string> CurrentEnvironment() {
        std::vector<std::string> entries;
        for (char** entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
        return entries;
    }

    // True when the child process was made.
    bool Started() const { return pid > 0; }

    // Sends signal number to a program that has not ended yet; false
    // otherwise.
    bool Signal(int number) { return pid > 0 && !HasEnded() && kill(pid, number) == 0; }

    // True once the program's standard output contains text, within
    // timeoutMs; false at once when the program has ended without it.
    bool WaitForOutput(const std::string& text, int timeoutMs) {
        bool found = false;
        Eventually(
            [&] {
                found = ReadWholeFile(outPath).find(text) != std::string::npos;
                return found || HasEnded();
            },
            timeoutMs);
        return found;
    }

    // What the operator types at the console; false when it was not written.
    bool Type(const std::string& text) {
        return input >= 0 && write(input, text.data(), text.size()) == ssize_t(text.size());
    }

    // The exit code (128 + signal for a program that was killed), or -1 when
    // the program has not ended within timeoutMs.
    int WaitForExit(int timeoutMs) {
        return Eventually([&] { return HasEnded(); }, timeoutMs) ? exitCode : -1;
    }

  private:
    // The NUL-terminated pointer array exec wants, pointing into strings.
    static std::vector<char*> Pointers(std::vector<std::string>& strings) {
        std::vector<char*> pointers;
        for (std::string& s : strings) pointers.push_back(s.data());
        pointers.push_back(nullptr);
        return pointers;
    }

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
