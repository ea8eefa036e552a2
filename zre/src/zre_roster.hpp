// The node's peers and their life: made with a mailbox and a HELLO, checked
// (a PING to answer in time) when in doubt, evasive and expired when
// silent, removed with an EXIT. The other parts act on peers through it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "zre_admission.hpp"
#include "zre_beacons.hpp"
#include "zre_event_outbox.hpp"
#include "zre_log.hpp"
#include "zre_mailboxes.hpp"
#include "zre_peer.hpp"

namespace zre {

class Roster {
public:
    Roster(Mailboxes& mailboxes, Admission& admission, EventOutbox& outbox, BeaconDiscovery& beacons, NodeLog& log)
        : mailboxes_(mailboxes), admission_(admission), outbox_(outbox), beacons_(beacons), log_(log)
    {}

    Peer* find(const Uuid& uuid) { return peers_.find(uuid); }
    PeerTable& table() { return peers_; }
    size_t size() const { return peers_.size(); }
    void clear() { peers_.clear(); }

    // Creates the peer (pending until its HELLO), connects its mailbox and
    // greets it with `hello`. Null when no socket could be made. On a
    // secured node `serverKey` is the key the peer's inbox must prove.
    Peer* connect(const Uuid& uuid, const std::string& endpoint, uint32_t source, const CurveKey* serverKey,
                  const Message& hello);
    // Forgets the peer; EXIT for the application when `report` and it had
    // said HELLO.
    void remove(const Uuid& uuid, bool report);
    // A new UUID on an endpoint that a known peer had: that peer restarted.
    // Returns the HELLO that waited while that peer was checked, if any.
    std::optional<Contender> dropAt(const std::string& endpoint);

    // Drops a peer that broke a bound on what it sends, with one warning
    // ("peer UUID 'NAME' dropped: it ...").
    void dropOffender(const Uuid& uuid, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Sends and drops the peer (EXIT) when that fails (see Mailboxes::send).
    void sendOrDrop(Peer& peer, const Message& message, Parts* content = nullptr, size_t from = 0);
    // Runs `sendTo` on every peer; peers whose send failed are dropped after.
    template <typename F>
    void sendToEach(F sendTo)
    {
        std::vector<Uuid> failed = peers_.select([&](Peer& peer) { return !sendTo(peer); });
        for (const Uuid& uuid : failed)
            remove(uuid, true);
    }

    // PINGs the peer, unless already being checked; it is dropped unless it
    // answers every PING in time (see Admission).
    void verify(Peer& peer);
    // Expires peers silent (or pending) too long, PINGs once those quiet
    // for three quarters of `evasiveMs` (an answer keeps them live), and
    // PINGs those silent for `evasiveMs` (EVASIVE for the application each
    // time, and SILENT the first time).
    void checkSilence(int64_t t, int64_t evasiveMs, int64_t expiredMs);
    // The peer was heard from (a message or a beacon); ALIVE for the
    // application if it had been reported SILENT.
    void heardFrom(Peer& peer);
    // The connection `fd` to the inbox closed: the peer whose messages
    // came in on it may have died, and is checked (a PING to answer in
    // time), unless messages wait for its mailbox (the backlog's own rule
    // drops it if it is dead).
    void connectionClosed(int fd);

    static Message ping();

private:
    Mailboxes& mailboxes_;
    Admission& admission_;
    EventOutbox& outbox_;
    BeaconDiscovery& beacons_;
    NodeLog& log_;
    PeerTable peers_;
};

}  // namespace zre
