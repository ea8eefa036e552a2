// A program's node on the peer network: announces itself, joins the site's
// groups, sends framed messages, keeps the table of known peers and reports
// every event to an EventCallback.
#pragma once

#include "corvo/export.h"

#include <czmq.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "corvo/keys.h"
#include "corvo/proto/command.pb.h"
#include "corvo/proto/info.pb.h"
#include "corvo/proto/log.pb.h"
#include "corvo/proto/property.pb.h"

typedef struct _zyre_t zyre_t;

namespace corvo {

class Peer;
class Property;

// One event of the ZRE node, copied out of the zyre event so that the peer
// table rules and the message dispatch do not depend on where it came from.
struct CORVO_API NetworkEvent {
    std::string type;  // "ENTER", "EXIT", "JOIN", "LEAVE", "WHISPER", "SHOUT", ...
    std::string peerUuid;
    std::string peerName;     // ENTER only
    std::string peerAddress;  // ENTER only
    std::string group;        // JOIN, LEAVE, SHOUT; empty otherwise
    // Beacon headers the node reads on ENTER ("client", "type"); a header the
    // peer did not send is absent.
    std::unordered_map<std::string, std::string> headers;
    zmsg_t* msg = nullptr;  // WHISPER, SHOUT; not owned
};

// How the network node reports events to the program. Every operation has an
// empty default body.
class CORVO_API EventCallback {
public:
    virtual void onStatus(std::shared_ptr<Peer> /*peer*/, unsigned int /*status*/) {}
    virtual void onLog(std::shared_ptr<Peer> /*peer*/, const corvo::proto::Log& /*log*/) {}
    virtual void onEnter(std::shared_ptr<Peer> /*peer*/) {}
    virtual void onExit(std::shared_ptr<Peer> /*peer*/) {}
    virtual void onCommand(std::shared_ptr<Peer> /*peer*/, const corvo::proto::Command& /*command*/) {}
    virtual void onProperty(std::shared_ptr<Peer> /*peer*/, const Property& /*property*/) {}
    virtual void onPropertyCommand(std::shared_ptr<Peer> /*peer*/, const corvo::proto::PropertyChange& /*change*/) {}
    virtual void onPropertyError(std::string /*name*/) {}
    virtual void onInfo(std::shared_ptr<Peer> /*peer*/) {}
    // A peer's answer to a request of ours (tag 5). A non-empty `error`
    // means the request was refused, for that reason.
    virtual void onResponse(std::shared_ptr<Peer> /*peer*/, const corvo::proto::Response& /*response*/) {}
    // A message of image transfer (tags 8 to 11, see corvo/image_service.h),
    // undecoded: `data` holds `size` bytes of the payload.
    virtual void onImageMessage(std::shared_ptr<Peer> /*peer*/, uint8_t /*tag*/, const unsigned char* /*data*/,
                                size_t /*size*/)
    {}

    // Where the network hands over a peer's command and change request. A
    // daemon checks them here before its onCommand and onPropertyCommand
    // run; by default they are passed on unchecked.
    virtual void handleCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command)
    {
        onCommand(std::move(peer), command);
    }
    virtual void handlePropertyCommand(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change)
    {
        onPropertyCommand(std::move(peer), change);
    }

protected:
    ~EventCallback() = default;
};

// Bounds on what a peer's message may hold. A peer whose message breaks one
// is dropped: it leaves the peer table (onExit is called), the reason is
// written once to standard error, and its later messages are ignored.
// - kMaxMessageFrames: frames of one message (ours have two: tag, payload);
// - kMaxInfoEntries: properties, commands and status names of one Info;
// - kMaxCommandArgs: arguments declared by one command of an Info;
// - kMaxNameBytes: a property, command, argument or status name, a unit, a
//   logger name;
// - kMaxDescriptionBytes: a description, a status text, a log message.
// Property values and choices have their own bounds (property.h).
constexpr size_t kMaxMessageFrames = 16;
constexpr size_t kMaxInfoEntries = 4096;
constexpr size_t kMaxCommandArgs = 256;
constexpr size_t kMaxNameBytes = 1024;
constexpr size_t kMaxDescriptionBytes = 64 * 1024;

class CORVO_API Network {
public:
    Network(EventCallback* callback, bool verbose);
    ~Network();
    Network(const Network&) = delete;
    Network& operator=(const Network&) = delete;

    void setName(const std::string& name);
    void setPort(int port);
    // Discovery and mailboxes on this interface (must precede start).
    void setInterface(const std::string& iface);
    void setHeader(const std::string& key, const std::string& value);
    void setClient(bool client);
    void setType(std::string type);
    void setVerbose();
    // Secures the node (must precede start): its own key pair and the
    // identities it trusts. Throws KeyError when the keys are refused or the
    // library was built without the bundled ZRE node.
    void setSecurity(const KeyPair& own, const std::vector<Identity>& trusted);
    bool isSecured() const { return secured; }

    void start();
    void stop();
    std::string getUUID();

    bool poll(int timeout);
    bool pollout();
    // The node's event socket (a libzmq socket handle), for a program that
    // waits on it together with sources of its own; null when not started.
    void* eventSocket() const;
    // Events the node dropped because this program read them too slowly
    // (it holds up to 100,000 unread events or 64 MiB, then counts and
    // warns); always 0 with a ZRE library that does not count them.
    uint64_t droppedEvents() const;

    void join(const std::string& group);
    void leave(const std::string& group);
    void setRecvLog(bool on);
    void setRecvValue(bool on);

    // Every send operation takes ownership of the message.
    void sendGroup(zmsg_t* msg, const std::string& group);
    void sendLog(zmsg_t* msg);
    void sendAll(zmsg_t* msg);
    void sendOne(zmsg_t* msg, std::shared_ptr<Peer> peer);
    void sendStatus(unsigned int status);
    void sendLog(const corvo::proto::Log& log);
    void sendCommand(std::shared_ptr<Peer> peer, std::string name, std::vector<std::string> args);
    void sendProperty(const Property* property);
    void changeProperty(std::shared_ptr<Peer> peer, const Property* property);
    // Whispers an answer (tag 5) to the peer with this UUID.
    void sendResponse(const std::string& peerUuid, const corvo::proto::Response& response);

    // Takes one event from the node and handles it.
    void recv();
    // Applies the peer table rules to one event and calls the callback.
    // recv() feeds it from the zyre node; exceptions of the callback pass.
    void handleEvent(const NetworkEvent& event);
    void parseInfo(std::shared_ptr<Peer> peer, corvo::proto::Info info);
    void updateProperty(std::shared_ptr<Peer> peer, corvo::proto::PropertyChange change);

    // The peer a request for `nameOrUuid` should go to: the peer with that
    // UUID; else, of the peers with that name, the newest that is not silent
    // (a restarted program's dead twin may linger until it expires), or the
    // newest when all are silent; null when there is none.
    std::shared_ptr<Peer> findPeer(const std::string& nameOrUuid) const;
    // Every known peer with this name, newest first.
    std::vector<std::shared_ptr<Peer>> peersNamed(const std::string& name) const;

    bool isStarted() const { return started; }
    const std::unordered_set<std::string>& joinedGroups() const { return groups; }

    std::unordered_map<std::string, std::shared_ptr<Peer>> peers;
    std::string siteGroup;
    std::string propGroup;
    std::string logGroup;

private:
    // Stops and destroys the zyre node; later calls do nothing.
    void releaseNode();
    // Exit handler: releases every node still alive when the process ends.
    static void releaseLiveNodes();

    // Drops a peer that broke a bound, as described above.
    void dropPeer(const std::string& uuid, const std::string& why);

    zyre_t* node = nullptr;
    std::unordered_set<std::string> groups;
    EventCallback* callback = nullptr;
    bool started = false;
    bool secured = false;
    uint64_t enterCount = 0;
};

}  // namespace corvo
