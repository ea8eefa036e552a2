// Child processes for the multi-process tests: spawn with output captured in
// files, wait with a deadline, stop with SIGINT (SIGKILL when it does not
// end), read what they wrote.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace corvotest {

// The whole file, bytes as they are; empty when it cannot be read.
inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Starts `argv` (argv[0] a path) with standard output in `outPath` and
// standard error in `errPath` (the same file when both are equal), with the
// given environment variables set on top of ours. Returns the pid, or -1.
inline pid_t spawnInto(const std::vector<std::string>& argv, const std::string& outPath, const std::string& errPath,
                       const std::map<std::string, std::string>& env = {})
{
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = errPath == outPath ? out : open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0)
            _exit(126);
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
    return pid;
}

struct Child {
    pid_t pid = -1;
    std::string outPath;
    std::string errPath;

    std::string out() const { return readFile(outPath); }
    std::string err() const { return readFile(errPath); }
};

// Starts `argv` with standard output and error in files of `dir`.
inline Child spawn(const std::vector<std::string>& argv, const std::string& dir,
                   const std::map<std::string, std::string>& env = {})
{
    static int counter = 0;
    Child child;
    std::string stem = dir + "/proc" + std::to_string(counter++);
    child.outPath = stem + ".out";
    child.errPath = stem + ".err";
    child.pid = spawnInto(argv, child.outPath, child.errPath, env);
    return child;
}

// Waits for the process to end; returns its wait status, or -1 after
// killing it when it is still running at the deadline (or when it is no
// child of ours).
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

// The exit code of a wait status, or -1 when the process did not exit (a
// signal ended it, or waitFor gave up).
inline int exitCode(int status)
{
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// True while the child has not ended. A child that has ended is reaped.
inline bool running(pid_t pid)
{
    int status = 0;
    return pid > 0 && waitpid(pid, &status, WNOHANG) == 0;
}

// Asks the child to end with `signal` and waits up to `timeout`; kills it
// after that. Returns its wait status, or -1 when it had to be killed.
inline int stop(pid_t pid, std::chrono::milliseconds timeout, int signal = SIGINT)
{
    if (pid <= 0)
        return -1;
    kill(pid, signal);
    return waitFor(pid, timeout);
}

// A program that runs while this object lives: standard output and error
// both go to `logFile`; it is stopped with SIGINT when the object goes.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& argv, const std::string& logFile)
        : pid(spawnInto(argv, logFile, logFile))
    {}
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { stop(); }

    bool alive() const { return pid > 0 && kill(pid, 0) == 0; }
    pid_t id() const { return pid; }

    // Exit code after SIGINT, or -1 when it did not exit by itself within
    // `timeout` (then it is killed). Later calls return the same.
    int stop(std::chrono::milliseconds timeout = std::chrono::seconds(10))
    {
        if (pid > 0) {
            code = exitCode(corvotest::stop(pid, timeout));
            pid = 0;
        }
        return code;
    }

private:
    pid_t pid = -1;
    int code = -1;
};

}  // namespace corvotest
