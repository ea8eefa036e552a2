#include "completions.h"

#include <chrono>

namespace corvo::python {

namespace {
// Per thread: inside a deferral, and whether a completion is pending.
thread_local int deferralDepth = 0;
thread_local bool completionPending = false;
}  // namespace

Completions& Completions::instance()
{
    // Never destroyed: waiters may still use it while the process exits.
    static Completions* completions = new Completions;
    return *completions;
}

uint64_t Completions::generation()
{
    std::lock_guard<std::mutex> guard(lock);
    return count;
}

bool Completions::wait(uint64_t seen, double seconds)
{
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::duration<double>(seconds > 0 ? seconds : 0),
                            [&] { return count != seen; });
}

void Completions::completed()
{
    if (deferralDepth > 0) {
        completionPending = true;
        return;
    }
    wakeAll();
}

void Completions::wakeAll()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        ++count;
    }
    changed.notify_all();
}

Completions::Deferral::Deferral()
{
    ++deferralDepth;
}

Completions::Deferral::~Deferral()
{
    if (--deferralDepth == 0 && completionPending) {
        completionPending = false;
        Completions::instance().wakeAll();
    }
}

}  // namespace corvo::python
