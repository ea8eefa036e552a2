// What a test reads back of the output of the code under test.
//
// CapturedDiagnostics: the library's own messages, which all go through
// diagnose() (corvo/diagnostics.h). While it lives it is the most recent
// DiagnosticRedirect, so it receives them instead of the console; the text
// accessors give them as the default writer would have printed them (each
// message and a newline). This is the way to check or silence what the
// library reports.
//
// CapturedStream: a standard stream of the process itself (file descriptor
// 1 or 2), for output that is not a diagnostic: the default writer under
// test, a daemon's console log (spdlog writes it to standard output itself),
// and what App prints as a program about its command line.
#pragma once

#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "corvo/diagnostics.h"

namespace corvotest {

class CapturedDiagnostics {
public:
    // The sink holds the list by a shared pointer: a diagnostic reported on
    // another thread just as this object ends still has somewhere to go.
    CapturedDiagnostics()
        : state_(std::make_shared<State>()), redirect_([state = state_](const corvo::Diagnostic& d) {
              std::lock_guard<std::mutex> lock(state->mutex);
              state->received.push_back(d);
          })
    {}

    // Every diagnostic received since the start or the last take/clear.
    std::vector<corvo::Diagnostic> diagnostics() const
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->received;
    }
    // The messages meant for standard output, each followed by a newline.
    std::string stdoutText() const { return join(Only::Stdout); }
    // The messages meant for standard error, each followed by a newline.
    std::string stderrText() const { return join(Only::Stderr); }
    // All messages in the order received, each followed by a newline.
    std::string text() const { return join(Only::Both); }

    // As the accessors above, and forgets everything received so far.
    std::string takeStdout() { return take(Only::Stdout); }
    std::string takeStderr() { return take(Only::Stderr); }
    std::string take() { return take(Only::Both); }
    void clear()
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->received.clear();
    }

private:
    enum class Only { Stdout, Stderr, Both };
    struct State {
        mutable std::mutex mutex;
        std::vector<corvo::Diagnostic> received;
    };

    std::string join(Only only) const
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        std::string out;
        for (const corvo::Diagnostic& d : state_->received) {
            if (only == Only::Both || (only == Only::Stdout) == (d.stream == corvo::Diagnostic::Stdout))
                out += d.text + "\n";
        }
        return out;
    }
    std::string take(Only only)
    {
        std::string out = join(only);
        clear();
        return out;
    }

    std::shared_ptr<State> state_;
    corvo::DiagnosticRedirect redirect_;
};

class CapturedStream {
public:
    // fd: STDOUT_FILENO or STDERR_FILENO. While the object lives, what is
    // written there goes to an unnamed temporary file instead.
    explicit CapturedStream(int fd) : fd_(fd)
    {
        flushAll();
        file_ = tmpfile();
        if (!file_)
            throw std::system_error(errno, std::generic_category(), "tmpfile");
        saved_ = dup(fd_);
        if (saved_ < 0 || dup2(fileno(file_), fd_) < 0) {
            int error = errno;
            if (saved_ >= 0)
                close(saved_);
            fclose(file_);
            throw std::system_error(error, std::generic_category(), "dup2");
        }
    }
    ~CapturedStream()
    {
        flushAll();
        dup2(saved_, fd_);
        close(saved_);
        fclose(file_);
    }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;

    // What was written since the start or the last take; forgets it.
    std::string take()
    {
        flushAll();
        std::string out;
        char buffer[4096];
        ssize_t n;
        while ((n = pread(fileno(file_), buffer, sizeof buffer, static_cast<off_t>(read_ + out.size()))) > 0)
            out.append(buffer, static_cast<size_t>(n));
        read_ += out.size();
        return out;
    }

private:
    static void flushAll()
    {
        std::cout.flush();
        std::cerr.flush();
        fflush(stdout);
        fflush(stderr);
    }

    int fd_;
    int saved_ = -1;
    FILE* file_ = nullptr;
    size_t read_ = 0;
};

}  // namespace corvotest
