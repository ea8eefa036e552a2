// The CPU time of each thread of a process, from /proc: schedstat counts
// nanoseconds on a CPU, finer than the clock ticks of stat. The benchmarks
// split a program's CPU with it by thread (its main thread, libzmq's I/O
// threads, the rest), which is where the time goes.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <string>

namespace bench {

struct ThreadCpu {
    std::string name;  // the thread's name ("ZMQbg/IO/0", ...)
    long long ns = 0;  // on a CPU since the thread started
};

// Every thread of `pid` now, by thread id; none when the process is gone.
inline std::map<int, ThreadCpu> threadCpu(pid_t pid)
{
    std::map<int, ThreadCpu> threads;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (!dir)
        return threads;
    while (dirent* entry = readdir(dir)) {
        const int tid = std::atoi(entry->d_name);
        if (tid <= 0)
            continue;
        const std::string task = tasks + "/" + entry->d_name;
        ThreadCpu thread;
        std::ifstream comm(task + "/comm");
        std::getline(comm, thread.name);
        std::ifstream schedstat(task + "/schedstat");
        schedstat >> thread.ns;
        threads[tid] = thread;
    }
    closedir(dir);
    return threads;
}

// Whether a thread is one of libzmq's I/O threads (where CURVE works).
inline bool isZmqIoThread(const std::string& name)
{
    return name.rfind("ZMQbg/IO", 0) == 0;
}

}  // namespace bench
