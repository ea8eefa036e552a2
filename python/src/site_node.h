// The operator side of the Python package: a client node on a site that
// reports what it hears to Python in batches, and sends property change
// requests and commands on behalf of Python threads.
#pragma once

#include <pybind11/pybind11.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "corvo/discovery.h"
#include "corvo/keys.h"
#include "corvo/network.h"
#include "corvo/peer.h"
#include "image_fetch.h"
#include "loop_thread.h"
#include "py_util.h"

namespace corvo::python {

struct SiteOptions {
    std::string site = "corvo";
    int port = 5670;
    std::string interface;  // empty: the node's choice
    std::string name;
    // A secured site: the node's own key pair (identity non-empty) and the
    // identities it trusts. Empty identity: an open site.
    KeyPair keyPair;
    std::vector<Identity> trusted;
    // Beacons and gossip endpoints (corvo/discovery.h).
    DiscoveryOptions discovery;
    std::string keyDirectory;  // reread while the node runs
};

// Reads the secret key `key` (a name in the key directory, or a path) and
// the trusted identities of `keys` (the default key directory when empty),
// as a program's --key and --keys do. Problems with single identity files
// are written to standard error; a key that cannot be used throws KeyError.
void loadSecurity(SiteOptions& options, const std::string& key, const std::string& keys);

// Lives on the loop thread; its Python face (module.cpp) carries every call
// there. Events are handed to the Python callable `sink` as a list of tuples
// once per drained batch, taking the GIL once per batch:
//   ("enter", uuid, name, type, client, address, identity)
//   ("info", uuid, name, properties, commands, statuses, status)
//   ("exit", uuid)
//   ("property", uuid, name, value, time, sent)  time: received; sent: the
//       sender's send time (its clock), None when the message had none
//   ("status", uuid, value)
//   ("log", uuid, time, logger, level, text)
//   ("refused", uuid, kind, name, reason, args)  kind "property" or
//       "command"; args: the refused command's arguments as the peer
//       echoed them (possibly cut short), [] for a property
//   ("silent", uuid, flag)  the peer was not heard for the evasive time
//       (flag true) or was heard again (false); see noticeSilence()
//   ("applied", uuid, name)  the peer applied this node's change request of
//       property `name` as another value than requested: the one it
//       broadcast last (the broadcast comes first on the same connection)
//   ("image", transfer, kind, error, path, data, name, size, resumed)  a
//       fetch ended: kind None when the image is whole and its checksum
//       verified, else "refused", "timeout", "size" or "transfer" with the
//       reason in error; path the file written (FILE), data the bytes
//       (MEMORY), both None otherwise; resumed the offset it resumed from
//   ("chunks", transfer, [bytes...], name, size)  a streamed fetch's bytes
//       as they came (unverified until its "image" event)
//   ("ready", uuid, name, size, width, height, datatype, sha1,
//       exposure_start, exposure_length, saved, time)  a camera announced a
//       saved image (checked by parseImageReady; others are dropped)
class SiteNode : public EventCallback, public LoopNode {
public:
    // Events handled per batch at most, so that a flood cannot hold the GIL
    // or the loop indefinitely; the rest waits in the node's bounded queue.
    static constexpr std::size_t kMaxBatch = 4096;
    // Image fetches running at once on one node; more are refused.
    static constexpr std::size_t kMaxFetches = 16;

    SiteNode(const SiteOptions& options, py::object sink);
    ~SiteNode() override;

    // Loop thread only.
    void start();
    void close();
    std::string uuid() const { return nodeUuid; }
    // Joins the site's log group (on true; false is ignored, see the source).
    void receiveLogs(bool on);
    // Sends a change request for `name` holding `value` (a copy of the
    // peer's property carries it). False when the peer or the property is
    // unknown, or the property's type is not the value's.
    bool changeProperty(const std::string& peerUuid, const std::string& name, const TypedValue& value);
    bool sendCommand(const std::string& peerUuid, const std::vector<std::string>& words);
    // Starts fetching an image from the camera `peerUuid`; its end comes as
    // an "image" event. Returns why it cannot start (empty: started).
    std::string startFetch(const std::string& peerUuid, const ImageFetch::Request& request);
    // Ends a fetch without an event (the camera is told).
    void cancelFetch(uint64_t transfer);
    // A streamed fetch's reader took `bytes` more.
    void fetchConsumed(uint64_t transfer, uint64_t bytes);

    void* socket() override;
    void drain() override;
    // Ends fetches that got no data for their timeout.
    void idle() override;

    void onEnter(std::shared_ptr<Peer> peer) override;
    void onExit(std::shared_ptr<Peer> peer) override;
    void onInfo(std::shared_ptr<Peer> peer) override;
    void onProperty(std::shared_ptr<Peer> peer, const Property& property) override;
    void onStatus(std::shared_ptr<Peer> peer, unsigned int status) override;
    void onLog(std::shared_ptr<Peer> peer, const corvo::proto::Log& log) override;
    // Refusals and confirmations of a change applied as another value.
    void onResponse(std::shared_ptr<Peer> peer, const corvo::proto::Response& response) override;
    void onImageMessage(std::shared_ptr<Peer> peer, uint8_t tag, const unsigned char* data, size_t size) override;

private:
    struct Event;
    void deliver();
    // The library marks a peer silent (Peer::silent) without a callback:
    // compared after each drain with what was reported, a change becomes a
    // "silent" event. Only silent peers are remembered (at most the
    // library's bounded peer table).
    void noticeSilence();
    std::shared_ptr<Peer> findPeer(const std::string& peerUuid) const;
    // Queues the events of a fetch after a change: its new chunks, and its
    // end (then it is dropped).
    void reportFetch(std::map<uint64_t, std::unique_ptr<ImageFetch>>::iterator it);
    void whisper(zmsg_t* message, const std::shared_ptr<Peer>& to);

    SiteOptions options;
    PyRefPtr sink;
    std::unique_ptr<Network> network;
    std::string nodeUuid;
    std::vector<std::shared_ptr<Event>> batch;
    bool logsOn = false;
    std::set<std::string> reportedSilent;
    std::map<uint64_t, std::unique_ptr<ImageFetch>> fetches;
};

// The Python forms of a peer's description: {name: (type, value, unit,
// description, writable, limits, choices)}, {name: (description,
// [(argname, type)])}, {value: name}.
py::tuple describePeer(const Peer& peer);

}  // namespace corvo::python
