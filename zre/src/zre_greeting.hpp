// Greetings: what a HELLO does. A newcomer is admitted (within the bounds
// on pending peers, and on a secured node only with a trusted identity that
// may announce its name), a known peer that greets again starts afresh
// (unless the HELLO answers the one this node sent it when it greeted
// again), a HELLO claiming a known peer's UUID from elsewhere, or a known
// peer's endpoint under another UUID, gets that peer checked, and a
// newcomer under a known name gets its twins checked.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "zre_admission.hpp"
#include "zre_codec.hpp"
#include "zre_curve.hpp"
#include "zre_event_outbox.hpp"
#include "zre_log.hpp"
#include "zre_mailboxes.hpp"
#include "zre_roster.hpp"

namespace zre {

class Greeting {
public:
    // `hello` makes this node's HELLO as it is now.
    Greeting(Roster& roster, Admission& admission, Mailboxes& mailboxes, EventOutbox& outbox, NodeLog& log,
             std::function<Message()> hello)
        : roster_(roster), admission_(admission), mailboxes_(mailboxes), outbox_(outbox), log_(log),
          hello_(std::move(hello))
    {}

    // `curve` (kept by the caller) on a secured node.
    void configure(const CurveSetup* curve) { curve_ = curve; }

    // A HELLO from `uuid`, whose connection (descriptor `connection`, -1
    // when not known) comes from `source` and proved `identity` (secured
    // node).
    void handle(const Uuid& uuid, const Message& m, uint32_t source, const std::string& identity, int connection = -1);

private:
    bool greetAgain(Peer& peer, const Message& m, uint32_t source, const std::string& identity, int connection);
    void take(Peer& peer, const Message& m, const std::string& identity);
    void enter(Peer& peer, const Message& m, const std::string& identity);
    void checkTwins(const Peer& newcomer);

    Roster& roster_;
    Admission& admission_;
    Mailboxes& mailboxes_;
    EventOutbox& outbox_;
    NodeLog& log_;
    std::function<Message()> hello_;
    const CurveSetup* curve_ = nullptr;
};

}  // namespace zre
