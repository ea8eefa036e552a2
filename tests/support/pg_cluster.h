// A throwaway PostgreSQL 15 cluster for tests: initdb in a temporary
// directory, a server that listens on a Unix socket only (no TCP), run as an
// unprivileged user when the test runs as root (the server refuses root),
// stopped and removed with the object.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace corvotest {

class PgCluster {
public:
    static constexpr const char* kBin = "/usr/lib/postgresql/15/bin";

    static bool installed() { return access((std::string(kBin) + "/initdb").c_str(), X_OK) == 0; }

    // `durable`: keep the server's fsync (benchmarks); tests turn it off.
    explicit PgCluster(bool durable = false) : dir("corvo-pg"), durable(durable)
    {
        port = 20000 + getpid() % 20000;
        chmod(dir.path().c_str(), 0755);
        home = dir / "pg";
        mkdir(home.c_str(), 0700);
        if (geteuid() == 0 && chown(home.c_str(), kNobody, kNobody) != 0)
            return;
        ready = run({std::string(kBin) + "/initdb", "-D", home + "/data", "-U", "corvo", "-A", "trust", "-E", "UTF8",
                     "--locale=C", "--no-sync"},
                    true) == 0 &&
                start();
    }

    ~PgCluster()
    {
        if (ready)
            stop("fast");
    }

    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    bool ok() const { return ready; }

    bool start()
    {
        std::string options = "-c listen_addresses='' -c unix_socket_directories='" + home + "' -p " +
                              std::to_string(port) + (durable ? "" : " -c fsync=off -c full_page_writes=off");
        return run({std::string(kBin) + "/pg_ctl", "-D", home + "/data", "-o", options, "-l", home + "/server.log",
                    "-w", "-t", "120", "start"},
                   true) == 0;
    }

    // "fast" (clean) or "immediate" (like a crash).
    bool stop(const std::string& mode)
    {
        return run({std::string(kBin) + "/pg_ctl", "-D", home + "/data", "-m", mode, "-w", "-t", "120", "stop"},
                   true) == 0;
    }

    bool createDatabase(const std::string& name)
    {
        return run({std::string(kBin) + "/createdb", "-h", home, "-p", std::to_string(port), "-U", "corvo", name},
                   false) == 0;
    }

    std::string url(const std::string& database) const
    {
        return "postgresql://corvo@/" + database + "?host=" + home + "&port=" + std::to_string(port);
    }

    std::string serverLog() const { return home + "/server.log"; }

private:
    static constexpr uid_t kNobody = 65534;

    // Runs a program (as the unprivileged user when asked and we are root)
    // with its output in the cluster's directory; returns its exit status.
    int run(const std::vector<std::string>& argv, bool unprivileged)
    {
        pid_t pid = fork();
        if (pid == 0) {
            int out = open((dir / "commands.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0666);
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
            if (unprivileged && geteuid() == 0 &&
                (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0))
                _exit(126);
            setenv("LC_ALL", "C", 1);
            std::vector<char*> args;
            for (const auto& a : argv)
                args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid)
            return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    TempDir dir;
    std::string home;
    int port = 0;
    bool durable = false;
    bool ready = false;
};

}  // namespace corvotest
