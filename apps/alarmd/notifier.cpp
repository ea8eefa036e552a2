// Background delivery of notifications (see notifier.h).
#include "notifier.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace corvo::alarmd {

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

bool waitFd(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        pollfd p{fd, events, 0};
        int n = poll(&p, 1, msLeft(deadline));
        if (n < 0 && errno == EINTR)
            continue;
        return n > 0;
    }
}

struct Url {
    std::string host, port = "80", path = "/";
};

bool parseUrl(const std::string& url, Url& out)
{
    const std::string scheme = "http://";
    if (url.rfind(scheme, 0) != 0)
        return false;
    std::string rest = url.substr(scheme.size());
    size_t slash = rest.find('/');
    std::string hostPort = rest.substr(0, slash);
    if (slash != std::string::npos)
        out.path = rest.substr(slash);
    size_t colon = hostPort.rfind(':');
    if (colon != std::string::npos && hostPort.find(']') == std::string::npos) {
        out.port = hostPort.substr(colon + 1);
        hostPort = hostPort.substr(0, colon);
    }
    out.host = hostPort;
    return !out.host.empty() && !out.port.empty();
}

}  // namespace

bool postJson(const std::string& url, const std::string& body, int timeoutMs, std::string& why)
{
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Url u;
    if (!parseUrl(url, u)) {
        why = "bad URL";
        return false;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (int rc = getaddrinfo(u.host.c_str(), u.port.c_str(), &hints, &found); rc != 0) {
        why = std::string("cannot resolve ") + u.host + ": " + gai_strerror(rc);
        return false;
    }
    int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        freeaddrinfo(found);
        why = std::strerror(errno);
        return false;
    }
    int rc = connect(fd, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    auto fail = [&](const std::string& text) {
        why = text;
        close(fd);
        return false;
    };
    if (rc != 0 && errno != EINPROGRESS)
        return fail(std::string("connect: ") + std::strerror(errno));
    if (!waitFd(fd, POLLOUT, deadline))
        return fail("connect timed out");
    int soError = 0;
    socklen_t len = sizeof soError;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len);
    if (soError != 0)
        return fail(std::string("connect: ") + std::strerror(soError));
    std::string request = "POST " + u.path + " HTTP/1.0\r\nHost: " + u.host +
                          "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                          "\r\nConnection: close\r\n\r\n" + body;
    size_t sent = 0;
    while (sent < request.size()) {
        if (!waitFd(fd, POLLOUT, deadline))
            return fail("send timed out");
        ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return fail(std::string("send: ") + std::strerror(errno));
        sent += static_cast<size_t>(n);
    }
    // Only the status line matters; at most 1 KiB of the answer is read.
    std::string answer;
    char buf[1024];
    while (answer.find("\r\n") == std::string::npos && answer.size() < sizeof buf) {
        if (!waitFd(fd, POLLIN, deadline))
            return fail("no answer in time");
        ssize_t n = recv(fd, buf, sizeof buf - answer.size(), 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        answer.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    // "HTTP/1.x 2xx ..."
    if (answer.size() < 12 || answer.compare(0, 5, "HTTP/") != 0) {
        why = "no HTTP answer";
        return false;
    }
    size_t space = answer.find(' ');
    if (space == std::string::npos || space + 1 >= answer.size() || answer[space + 1] != '2') {
        why = "answer \"" + answer.substr(0, answer.find('\r')) + "\"";
        return false;
    }
    return true;
}

bool runHook(const std::vector<std::string>& command, const std::string& input, int timeoutMs, std::string& why)
{
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        why = std::strerror(errno);
        return false;
    }
    std::vector<char*> argv;
    for (const auto& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        why = std::strerror(errno);
        close(pipeFds[0]);
        close(pipeFds[1]);
        return false;
    }
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);  // not the notifier's blocked SIGPIPE
        dup2(pipeFds[0], STDIN_FILENO);
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0)
            dup2(devnull, STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[0]);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    fcntl(pipeFds[1], F_SETFL, O_NONBLOCK);
    size_t sent = 0;
    while (sent < input.size() && waitFd(pipeFds[1], POLLOUT, deadline)) {
        ssize_t n = write(pipeFds[1], input.data() + sent, input.size() - sent);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            break;  // the hook need not read its input
        sent += static_cast<size_t>(n);
    }
    close(pipeFds[1]);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            why = "timed out";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    why = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status)) : "killed by a signal";
    return false;
}

Notifier::Notifier(std::function<void(const std::string&)> report) : report(std::move(report))
{
    thread = std::thread([this] { run(); });
}

Notifier::~Notifier()
{
    stop(0);
}

void Notifier::post(const Notify& target, const std::string& json)
{
    if (target.webhook.empty() && target.command.empty())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping)
            return;
        if (queue.size() >= kMaxQueued) {
            queue.pop_front();
            ++droppedCount;
        }
        queue.push_back({target, json});
    }
    wake.notify_one();
}

void Notifier::stop(int ms)
{
    {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return queue.empty() && !busy; });
        stopping = true;
        droppedCount += queue.size();
        queue.clear();
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

uint64_t Notifier::delivered() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return deliveredCount;
}

uint64_t Notifier::failed() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return failedCount;
}

uint64_t Notifier::dropped() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return droppedCount;
}

bool Notifier::deliver(const Item& item, std::string& why)
{
    bool ok = true;
    std::string part;
    if (!item.target.webhook.empty() && !postJson(item.target.webhook, item.json, kAttemptTimeoutMs, part)) {
        ok = false;
        why = "webhook " + item.target.webhook + ": " + part;
    }
    if (!item.target.command.empty() && !runHook(item.target.command, item.json + "\n", kAttemptTimeoutMs, part)) {
        ok = false;
        why += (why.empty() ? "" : "; ") + std::string("hook ") + item.target.command[0] + ": " + part;
    }
    return ok;
}

void Notifier::run()
{
    // A hook that exits without reading its input closes the pipe: the
    // write then fails with EPIPE instead of ending the daemon.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        wake.wait(lock, [this] { return stopping || !queue.empty(); });
        if (stopping)
            return;
        Item item = std::move(queue.front());
        queue.pop_front();
        busy = true;
        lock.unlock();
        bool ok = false;
        std::string why;
        // Retries after 1, 2 and 4 s; a stop ends the wait.
        for (int attempt = 0; attempt < kAttempts && !ok; ++attempt) {
            if (attempt > 0) {
                std::unique_lock<std::mutex> pause(mutex);
                if (wake.wait_for(pause, std::chrono::seconds(1 << (attempt - 1)), [this] { return stopping; }))
                    break;
            }
            why.clear();
            ok = deliver(item, why);
        }
        if (!ok && report)
            report("notification not delivered: " + why);
        lock.lock();
        busy = false;
        ok ? ++deliveredCount : ++failedCount;
        wake.notify_all();
    }
}

}  // namespace corvo::alarmd
