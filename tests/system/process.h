// Child processes for the multi-process tests: spawn with output captured in
// files, wait with a deadline, read what they wrote.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace corvotest {

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Child {
    pid_t pid = -1;
    std::string outPath;
    std::string errPath;

    std::string out() const { return readFile(outPath); }
    std::string err() const { return readFile(errPath); }
};

// Starts `argv` with standard output and error in files of `dir` and with
// the given environment variables set on top of ours.
inline Child spawn(const std::vector<std::string>& argv, const std::string& dir,
                   const std::map<std::string, std::string>& env = {})
{
    static int counter = 0;
    Child child;
    std::string stem = dir + "/proc" + std::to_string(counter++);
    child.outPath = stem + ".out";
    child.errPath = stem + ".err";
    child.pid = fork();
    if (child.pid == 0) {
        int out = open(child.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(child.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        for (const auto& [key, value] : env)
            setenv(key.c_str(), value.c_str(), 1);
        std::vector<char*> args;
        for (const auto& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return child;
}

// Waits for the process to end; returns its wait status, or -1 after
// killing it when it is still running at the deadline.
inline int waitFor(pid_t pid, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (true) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return status;
        if (done < 0)
            return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

inline bool exitedWith(int status, int code)
{
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

}  // namespace corvotest
