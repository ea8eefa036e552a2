/// @file
/// Rereading the key directory while a program runs, so that an identity
/// removed from it (revoked) stops working without a restart.
///
/// A KeyWatch has a thread of its own. It looks at the directory whenever
/// inotify reports a change in it (after kSettleMs, so that a burst of
/// changes is read once) and every kCheckPeriodMs in any case (inotify may be
/// missing, out of watches, or blind to changes made on another host of a
/// network file system). A look costs one stat() per identity file; the
/// files are read only when their names, sizes, times, modes or owners
/// changed. A change is therefore seen within kCheckPeriodMs, and within
/// about kSettleMs where inotify works.
///
/// When the trusted identities differ from the last ones, the watch hands
/// the new list to its callback (Network applies it to the node: see
/// Network::watchKeys). A directory that cannot be read, or that has become
/// unsafe (writable by others, owned by another user: see KeyDirectory), is
/// reported once and changes nothing: the identities trusted before stay
/// trusted until the directory can be read safely again.
#pragma once

#include "corvo/export.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "corvo/keys.h"

namespace corvo {

/// What changed between two lists of trusted identities, as far as the
/// network node is concerned (key and name patterns; groups are read at a
/// program's start only). An identity whose key or names changed is in both
/// lists: removed as it was, added as it is.
struct CORVO_API TrustChanges {
    /// Identities no longer trusted as they were.
    std::vector<Identity> removed;
    /// Identities trusted now that were not, or not as they are now.
    std::vector<Identity> added;
    /// True when nothing the node trusts changed.
    bool empty() const { return removed.empty() && added.empty(); }
};

/// The changes from `before` to `after`.
CORVO_API TrustChanges trustChanges(const std::vector<Identity>& before, const std::vector<Identity>& after);

/// Watches a key directory on a thread of its own (see the file comment).
class CORVO_API KeyWatch {
public:
    /// Longest time between two looks at the directory.
    static constexpr int kCheckPeriodMs = 1000;
    /// Wait after a change inotify reported before looking.
    static constexpr int kSettleMs = 100;

    /// Called on the watch's thread with every identity of the directory,
    /// each time they differ (in key or names) from the list before.
    using Callback = std::function<void(const std::vector<Identity>&)>;

    /// Watches `directory`, whose identities are `current` now. Nothing runs
    /// before start(). `useInotify` false: the periodic look only.
    KeyWatch(std::string directory, std::vector<Identity> current, Callback onChange, bool useInotify = true);
    /// Stops the thread.
    ~KeyWatch();
    KeyWatch(const KeyWatch&) = delete;
    KeyWatch& operator=(const KeyWatch&) = delete;

    /// Starts the thread; it looks at the directory at once (a change made
    /// since `current` was read is not missed).
    void start();
    /// Stops the thread and waits for it; the callback is not called after.
    void stop();
    /// True while inotify reports the directory's changes.
    bool usesInotify() const { return watching.load(); }

private:
    void run();
    bool waitForChange();
    void look();
    void openInotify();
    void closeInotify();

    std::string dir;
    std::vector<Identity> trusted;
    Callback onChange;
    bool inotifyWanted;
    std::thread thread;
    int wakeFd = -1;     // eventfd: stop()
    int inotifyFd = -1;  // -1 without inotify
    int watchId = -1;    // -1 while the directory is not watched
    std::atomic<bool> watching{false};
    uint64_t lastStamp = 0;
    bool stamped = false;
    std::string lastProblem;
};

}  // namespace corvo
