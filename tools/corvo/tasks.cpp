// The subcommands of the operator tool.
#include <algorithm>
#include <iomanip>
#include <iostream>
#include <set>
#include <sstream>

#include "alarms.h"
#include "corvo/message.h"
#include "corvo/misc.h"
#include "corvo/network.h"
#include "text.h"
#include "tool.h"

namespace corvo::tool {

namespace {

using std::chrono::milliseconds;

// How long peers must stay unchanged before the list of peers is complete.
constexpr milliseconds kSettleTime{300};
// How long `peers` waits, once nothing changes, for how each peer was found.
constexpr milliseconds kFoundByWait{2500};
// With beacons and gossip both on, how long `peers` runs at least: a peer
// learned one way is heard the other way within a beacon interval (1 s).
constexpr milliseconds kBothWaysWait{1500};
// How long a sent message is given to leave before the node is stopped.
constexpr milliseconds kLingerTime{250};
// Of several peers with one name, how long the described ones wait for the
// others to describe themselves before those count as gone.
constexpr milliseconds kTwinGrace{1000};

// Everything printed that holds text from the network goes through
// escapeControl (text mode) or jsonString (JSON mode), so that no peer can
// drive the operator's terminal.
void fail(CorvoTool& tool, int status, const std::string& message)
{
    std::cerr << "corvo: " << escapeControl(message) << std::endl;
    tool.finish(status);
}

std::string secondsText(double seconds)
{
    std::ostringstream out;
    out << seconds << " s";
    return out.str();
}

std::string statusText(const Peer& peer, unsigned int status)
{
    auto it = peer.statusNames.find(status);
    return it == peer.statusNames.end() ? std::to_string(status) : it->second;
}

std::string roleText(const Peer& peer)
{
    return peer.client ? "client" : "daemon";
}

// The holder of a secured daemon's lock and its lease end, `none` when free
// or when the peer has no lock.
std::string lockText(const Peer& peer, const std::string& none)
{
    auto it = peer.properties.find("lock");
    if (it == peer.properties.end() || it->second.type != Property::STRING || it->second.strValue.empty())
        return none;
    return it->second.strValue;
}

std::string nowText()
{
    return timeText(std::chrono::system_clock::now());
}

// Rows of text printed as left-aligned columns, two spaces apart; the last
// column is not padded. A cell widens its column by kMaxPadWidth characters
// at most: a longer one is printed whole and pushes only its own row on, so
// that one long value (a peer's 64 KiB string, a long list) does not pad
// every other row to its width.
constexpr size_t kMaxPadWidth = 64;

class Table {
public:
    void add(std::vector<std::string> row)
    {
        for (std::string& cell : row)
            cell = escapeControl(cell);
        rows.push_back(std::move(row));
    }

    void print(std::ostream& out, const std::string& indent = "") const
    {
        std::vector<size_t> widths;
        for (const auto& row : rows)
            for (size_t i = 0; i < row.size(); ++i) {
                widths.resize(std::max(widths.size(), row.size()));
                widths[i] = std::max(widths[i], std::min(row[i].size(), kMaxPadWidth));
            }
        for (const auto& row : rows) {
            std::string line = indent;
            for (size_t i = 0; i < row.size(); ++i) {
                line += row[i];
                if (i + 1 < row.size())
                    line += std::string((widths[i] > row[i].size() ? widths[i] - row[i].size() : 0) + 2, ' ');
            }
            while (!line.empty() && line.back() == ' ')
                line.pop_back();
            out << line << '\n';
        }
    }

private:
    std::vector<std::vector<std::string>> rows;
};

// A JSON object written field by field.
class JsonObject {
public:
    JsonObject& field(const std::string& key, const std::string& rawJson)
    {
        text += (text.empty() ? "{" : ", ") + jsonString(key) + ": " + rawJson;
        return *this;
    }
    JsonObject& str(const std::string& key, const std::string& value) { return field(key, jsonString(value)); }
    JsonObject& boolean(const std::string& key, bool value) { return field(key, value ? "true" : "false"); }
    JsonObject& number(const std::string& key, long value) { return field(key, std::to_string(value)); }
    std::string done() const { return text.empty() ? "{}" : text + "}"; }

private:
    std::string text;
};

std::string jsonArray(const std::vector<std::string>& rawElements)
{
    std::string out = "[";
    for (size_t i = 0; i < rawElements.size(); ++i)
        out += (i ? ", " : "") + rawElements[i];
    return out + "]";
}

std::string propertyJson(const Peer& peer, const Property& p)
{
    JsonObject o;
    o.str("peer", peer.name).str("name", p.name).str("type", typeName(p.type)).field("value", jsonValue(p));
    o.str("text", displayText(p)).str("unit", p.egu).str("description", p.description).boolean("writable", p.writable);
    std::string limits = p.limitsText();
    if (!limits.empty())
        o.str("limits", limits);
    if (!p.choices.empty()) {
        std::vector<std::string> choices;
        for (const auto& [key, label] : p.choices)
            choices.push_back(JsonObject().number("value", key).str("label", label).done());
        o.field("choices", jsonArray(choices));
    }
    return o.done();
}

std::string argsSignature(const CommandDef& def)
{
    std::string out;
    for (const auto& arg : def.args)
        out += (out.empty() ? "" : " ") + ("<" + arg.name + ":" + argTypeName(arg.type) + ">");
    return out;
}

// ---------------------------------------------------------------- peers

class PeersTask : public Task {
public:
    void onIdle(CorvoTool& tool) override
    {
        auto peers = tool.sitePeers();
        auto now = Clock::now();
        bool complete =
            !peers.empty() && now - tool.lastChange() >= kSettleTime &&
            std::all_of(peers.begin(), peers.end(), [&](const auto& p) { return p->client || tool.hasInfo(*p); });
        // A peer that greeted this tool first is heard of by beacon or
        // gossip within a beacon interval or a gossip round: waited for
        // (kFoundByWait at most), so that FOUND is rarely "-".
        bool foundKnown =
            now - tool.lastChange() >= kFoundByWait ||
            std::all_of(peers.begin(), peers.end(), [&](const auto& p) { return !foundBy(tool, *p).empty(); });
        const DiscoveryOptions& discovery = tool.getDiscovery();
        bool bothWays = discovery.beacon && !(discovery.gossipConnect.empty() && discovery.gossipBind.empty());
        bool bothHeard = !bothWays || now - tool.started() >= kBothWaysWait;
        complete = complete && foundKnown && bothHeard;
        if (!complete && now < tool.deadline())
            return;
        tool.options().json ? printJson(tool, peers) : printTable(tool, peers);
        tool.finish(EXIT_OK);
    }

private:
    // "silent": the node has not heard the peer for the evasive timeout; it
    // is forgotten at the expiry unless it speaks again.
    static std::string stateText(const Peer& p) { return p.silent ? "silent" : "live"; }

    // "beacon", "gossip", "beacon,gossip", or empty: the peer greeted this
    // tool first and was not heard of either way yet.
    static std::string foundBy(CorvoTool& tool, const Peer& p)
    {
        return tool.getNetwork() ? tool.getNetwork()->foundBy(p.uuid) : std::string();
    }

    static std::string status(CorvoTool& tool, const Peer& p)
    {
        if (p.client)
            return "-";
        return tool.hasInfo(p) ? statusText(p, p.status) : std::to_string(p.status);
    }

    void printTable(CorvoTool& tool, const std::vector<std::shared_ptr<Peer>>& peers)
    {
        if (peers.empty()) {
            std::cerr << "corvo: no peers on site " << tool.getSite() << std::endl;
            return;
        }
        Table table;
        // On a secured site: who each peer proved to be, and who holds its lock.
        bool secured = tool.isSecured();
        std::vector<std::string> header{"NAME", "TYPE", "ROLE", "STATUS", "STATE", "ADDRESS"};
        if (secured)
            header.insert(header.end(), {"IDENTITY", "LOCK"});
        header.push_back("FOUND");
        table.add(header);
        for (const auto& p : peers) {
            std::vector<std::string> row{
                p->name, p->type.empty() ? "-" : p->type, roleText(*p), status(tool, *p), stateText(*p), p->address};
            if (secured)
                row.insert(row.end(), {p->identity.empty() ? "-" : p->identity, lockText(*p, "-")});
            std::string found = foundBy(tool, *p);
            row.push_back(found.empty() ? "-" : found);
            table.add(row);
        }
        table.print(std::cout);
    }

    void printJson(CorvoTool& tool, const std::vector<std::shared_ptr<Peer>>& peers)
    {
        std::vector<std::string> items;
        for (const auto& p : peers) {
            JsonObject item;
            item.str("name", p->name)
                .str("uuid", p->uuid)
                .str("type", p->type)
                .boolean("client", p->client)
                .number("status", p->status)
                .str("status_text", status(tool, *p))
                .str("state", stateText(*p))
                .str("address", p->address)
                .str("found_by", foundBy(tool, *p));
            if (tool.isSecured())
                item.str("identity", p->identity).str("lock", lockText(*p, ""));
            items.push_back(item.done());
        }
        std::cout << jsonArray(items) << '\n';
    }
};

// ------------------------------------------------- tasks on one peer

// Waits for the named peer's description, then hands over to ready().
class PeerTask : public Task {
public:
    explicit PeerTask(std::string peerName) : peerName(std::move(peerName)) {}

    void onIdle(CorvoTool& tool) override
    {
        if (peer) {
            step(tool);
            return;
        }
        if (choosePeer(tool) || tool.finished())
            return;
        if (Clock::now() < tool.deadline())
            return;
        if (auto known = tool.knownPeer(peerName)) {
            if (known->client)
                fail(tool, EXIT_NOT_FOUND, peerName + " is a client: it has no properties or commands");
            else
                fail(tool, EXIT_TIMEOUT,
                     peerName + " did not describe itself within " + secondsText(tool.options().timeout));
        } else {
            fail(tool, EXIT_NOT_FOUND,
                 "no peer " + peerName + " on site " + tool.getSite() + " (waited " +
                     secondsText(tool.options().timeout) + ")");
        }
    }

    void onExit(CorvoTool& tool, Peer& left) override
    {
        if (peer && left.uuid == peer->uuid && waitingForPeer)
            fail(tool, EXIT_TIMEOUT, peer->name + " left the network before answering");
    }

protected:
    // Picks the peer once it is known which one is meant and calls ready().
    // Two described peers of one name are ambiguous: the run ends, listing
    // their UUIDs. A described peer whose namesakes stay silent past a grace
    // time is taken (they are most likely the remains of a restart).
    bool choosePeer(CorvoTool& tool)
    {
        auto found = tool.candidates(peerName);
        std::vector<std::shared_ptr<Peer>> usable;
        for (const auto& p : found)
            if (tool.hasInfo(*p) || (acceptsClients() && p->client))
                usable.push_back(p);
        if (usable.size() > 1) {
            std::string uuids;
            for (const auto& p : usable)
                uuids += (uuids.empty() ? "" : ", ") + p->uuid;
            fail(tool, EXIT_USAGE,
                 std::to_string(usable.size()) + " peers are named " + peerName + ": " + uuids +
                     "; name one by its UUID");
            return false;
        }
        if (usable.empty())
            return false;
        auto now = Clock::now();
        if (found.size() > 1 && now < tool.deadline()) {
            if (!graceStarted) {
                graceStarted = true;
                graceEnd = now + kTwinGrace;
            }
            if (now < graceEnd)
                return false;
        }
        peer = usable.front();
        ready(tool);
        return true;
    }

    virtual bool acceptsClients() const { return false; }
    virtual void ready(CorvoTool& tool) = 0;
    virtual void step(CorvoTool& /*tool*/) {}

    bool fromPeer(const Peer& p) const { return peer && p.uuid == peer->uuid; }

    // Property of the peer, or null after reporting it missing.
    const Property* findProperty(CorvoTool& tool, const std::string& name)
    {
        auto it = peer->properties.find(name);
        if (it != peer->properties.end())
            return &it->second;
        fail(tool, EXIT_NOT_FOUND, peer->name + " has no property '" + name + "'");
        return nullptr;
    }

    // Starts waiting for an answer of the peer, bounded by the timeout.
    void startWaiting()
    {
        waitingForPeer = true;
        waitDeadline =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeoutSeconds));
    }
    bool waitExpired() const { return Clock::now() >= waitDeadline; }

    // Prints the value the peer confirmed and ends the run with success.
    void finishWithValue(CorvoTool& tool, const Peer& from, const Property& property)
    {
        if (tool.options().json)
            std::cout << propertyJson(from, property) << '\n';
        else
            std::cout << escapeControl(displayText(property)) << '\n';
        tool.finish(EXIT_OK);
    }

    std::string peerName;
    std::shared_ptr<Peer> peer;
    bool graceStarted = false;
    Clock::time_point graceEnd;
    bool waitingForPeer = false;
    double timeoutSeconds = 0;
    Clock::time_point waitDeadline;
};

// ----------------------------------------------------------------- info

class InfoTask : public PeerTask {
public:
    using PeerTask::PeerTask;

protected:
    bool acceptsClients() const override { return true; }

    void ready(CorvoTool& tool) override
    {
        tool.options().json ? printJson(tool) : printText();
        tool.finish(EXIT_OK);
    }

private:
    void printText()
    {
        const Peer& p = *peer;
        std::cout << escapeControl(p.name + " (" + (p.type.empty() ? "no type" : "type " + p.type) + ", " +
                                   roleText(p) + ") at " + p.address + ", uuid " + p.uuid)
                  << '\n';
        if (p.client)
            return;
        std::cout << "status: " << escapeControl(statusText(p, p.status)) << " (" << p.status << ")\n";
        if (!p.identity.empty()) {
            std::cout << "identity: " << escapeControl(p.identity) << '\n';
            std::cout << "lock: " << escapeControl(lockText(p, p.properties.count("lock") ? "free" : "none")) << '\n';
        }
        std::cout << "properties:\n";
        Table props;
        props.add({"NAME", "TYPE", "VALUE", "UNIT", "ACCESS", "DESCRIPTION"});
        for (const auto& [name, prop] : p.properties) {
            std::string description = prop.description;
            std::string limits = prop.limitsText(), choices = prop.choicesText();
            if (!limits.empty())
                description += "; limits " + limits;
            if (!choices.empty())
                description += "; choices " + choices;
            props.add({name, typeName(prop.type), displayText(prop), prop.egu.empty() ? "-" : prop.egu,
                       prop.writable ? "rw" : "ro", description});
        }
        props.print(std::cout, "  ");
        std::cout << "commands:\n";
        Table cmds;
        for (const auto& [name, def] : p.commands) {
            std::string signature = argsSignature(def);
            cmds.add({signature.empty() ? name : name + " " + signature, def.description});
        }
        cmds.print(std::cout, "  ");
        std::cout << "status values:\n";
        Table statuses;
        for (const auto& [value, text] : p.statusNames)
            statuses.add({std::to_string(value), text});
        statuses.print(std::cout, "  ");
    }

    void printJson(CorvoTool& tool)
    {
        const Peer& p = *peer;
        std::vector<std::string> props, cmds, statuses;
        for (const auto& [name, prop] : p.properties)
            props.push_back(propertyJson(p, prop));
        for (const auto& [name, def] : p.commands) {
            std::vector<std::string> args;
            for (const auto& arg : def.args)
                args.push_back(JsonObject().str("name", arg.name).str("type", argTypeName(arg.type)).done());
            cmds.push_back(JsonObject()
                               .str("name", name)
                               .str("description", def.description)
                               .field("args", jsonArray(args))
                               .done());
        }
        for (const auto& [value, text] : p.statusNames)
            statuses.push_back(JsonObject().number("value", value).str("text", text).done());
        JsonObject out;
        out.str("name", p.name)
            .str("uuid", p.uuid)
            .str("type", p.type)
            .boolean("client", p.client)
            .str("address", p.address)
            .number("status", p.status)
            .str("status_text", statusText(p, p.status));
        if (tool.isSecured())
            out.str("identity", p.identity).str("lock", lockText(p, ""));
        out.field("properties", jsonArray(props))
            .field("commands", jsonArray(cmds))
            .field("status_values", jsonArray(statuses));
        std::cout << out.done() << '\n';
    }
};

// ------------------------------------------------------------------ get

class GetTask : public PeerTask {
public:
    GetTask(std::string peerName, std::string property) : PeerTask(std::move(peerName)), name(std::move(property)) {}

protected:
    void ready(CorvoTool& tool) override
    {
        const Property* p = findProperty(tool, name);
        if (!p)
            return;
        if (tool.options().json)
            std::cout << propertyJson(*peer, *p) << '\n';
        else
            std::cout << escapeControl(displayText(*p)) << '\n';
        tool.finish(EXIT_OK);
    }

private:
    std::string name;
};

// ------------------------------------------------------------------ set

class SetTask : public PeerTask {
public:
    SetTask(std::string peerName, std::string property, std::string value)
        : PeerTask(std::move(peerName)), name(std::move(property)), text(std::move(value))
    {}

protected:
    void ready(CorvoTool& tool) override
    {
        const Property* current = findProperty(tool, name);
        if (!current)
            return;
        if (!current->writable)
            return fail(tool, EXIT_REFUSED, "property '" + name + "' of " + peer->name + " is read-only");
        // A detached copy: parsing it must not publish anything.
        requested = *current;
        requested.master = nullptr;
        std::string error;
        if (!parseValue(requested, text, error))
            return fail(tool, EXIT_USAGE, "bad value for " + name + " (" + typeName(requested.type) + "): " + error);
        std::string refusal = requested.checkValue();
        if (!refusal.empty())
            return fail(tool, EXIT_REFUSED, "refused " + name + " = " + text + ": " + refusal);
        tool.net().changeProperty(peer, &requested);
        timeoutSeconds = tool.options().timeout;
        startWaiting();
    }

    void step(CorvoTool& tool) override
    {
        if (!waitExpired())
            return;
        std::string message = peer->name + " did not confirm " + name + " within " + secondsText(timeoutSeconds);
        if (!lastSeen.empty())
            message += " (last value broadcast: " + lastSeen + ")";
        fail(tool, EXIT_TIMEOUT, message);
    }

    void onResponse(CorvoTool& tool, Peer& from, const corvo::proto::Response& response) override
    {
        if (!waitingForPeer || !fromPeer(from) || !response.has_property_data() ||
            response.property_data().name() != name)
            return;
        if (!response.error().empty())
            return fail(tool, EXIT_REFUSED, peer->name + " refused " + name + " = " + text + ": " + response.error());
        // The daemon applied another value than requested: the one it has
        // just broadcast (on the same connection, so already seen).
        auto applied = from.properties.find(name);
        if (applied != from.properties.end())
            finishWithValue(tool, from, applied->second);
    }

    void onProperty(CorvoTool& tool, Peer& from, const Property& property) override
    {
        if (!waitingForPeer || !fromPeer(from) || property.name != name)
            return;
        if (!sameValue(property, requested)) {
            // Another broadcast of the same property (a concurrent change);
            // keep waiting for the one that carries our value.
            lastSeen = displayText(property);
            return;
        }
        finishWithValue(tool, from, property);
    }

private:
    std::string name;
    std::string text;
    Property requested;
    std::string lastSeen;
};

// ------------------------------------------------------------------ cmd

class CmdTask : public PeerTask {
public:
    CmdTask(std::string peerName, std::vector<std::string> command)
        : PeerTask(std::move(peerName)), words(std::move(command))
    {}

protected:
    void ready(CorvoTool& tool) override
    {
        const std::string& name = words[0];
        auto it = peer->commands.find(name);
        if (it == peer->commands.end())
            return fail(tool, EXIT_NOT_FOUND, peer->name + " has no command '" + name + "'");
        const CommandDef& def = it->second;
        size_t given = words.size() - 1;
        if (given != def.args.size()) {
            std::string usage = def.args.empty() ? "no arguments" : argsSignature(def);
            return fail(tool, EXIT_USAGE,
                        "command '" + name + "' takes " + usage + ", got " + std::to_string(given) + " argument" +
                            (given == 1 ? "" : "s"));
        }
        for (size_t i = 0; i < def.args.size(); ++i) {
            std::string error = checkArg(def.args[i].type, words[i + 1]);
            if (!error.empty())
                return fail(tool, EXIT_USAGE, "argument " + def.args[i].name + " of '" + name + "': " + error);
        }
        waitName = tool.options().waitProperty;
        if (!waitName.empty() && !findProperty(tool, waitName))
            return;
        if (!peer->verifyCommand(words))
            return fail(tool, EXIT_NOT_FOUND, peer->name + " does not accept '" + name + "'");
        // Stamped with the sending time, so the daemon can tell the transit delay.
        tool.net().sendOne(ProtobufToZMsg(genCommandPB(words)), peer);
        sent = true;
        sentAt = Clock::now();
        timeoutSeconds = tool.options().timeout;
        if (!waitName.empty())
            startWaiting();
    }

    void step(CorvoTool& tool) override
    {
        if (waitName.empty()) {
            // Nothing confirms a command: give it time to leave, then report.
            if (Clock::now() - sentAt < kLingerTime)
                return;
            if (tool.options().json)
                std::cout << JsonObject()
                                 .str("peer", peer->name)
                                 .field("command", jsonArray(quoted()))
                                 .boolean("sent", true)
                                 .done()
                          << '\n';
            else
                std::cout << escapeControl("sent " + words[0] + " to " + peer->name) << '\n';
            return tool.finish(EXIT_OK);
        }
        if (waitExpired())
            fail(tool, EXIT_TIMEOUT,
                 "no broadcast of " + waitName + " from " + peer->name + " within " + secondsText(timeoutSeconds) +
                     " after " + words[0]);
    }

    void onProperty(CorvoTool& tool, Peer& from, const Property& property) override
    {
        if (!waitingForPeer || !fromPeer(from) || property.name != waitName)
            return;
        finishWithValue(tool, from, property);
    }

    void onResponse(CorvoTool& tool, Peer& from, const corvo::proto::Response& response) override
    {
        if (!sent || !fromPeer(from) || response.error().empty() || response.command().cmd_name() != words[0])
            return;
        fail(tool, EXIT_REFUSED, peer->name + " refused " + words[0] + ": " + response.error());
    }

private:
    std::vector<std::string> quoted() const
    {
        std::vector<std::string> out;
        for (const auto& w : words)
            out.push_back(jsonString(w));
        return out;
    }

    std::vector<std::string> words;
    std::string waitName;
    bool sent = false;
    Clock::time_point sentAt;
};

// ---------------------------------------------------------- lock, unlock

// Takes, renews (run again) or, with --hold, keeps renewing the lock of a
// secured daemon; `unlock` releases it. A daemon confirms by broadcasting
// its "lock" property, refuses with a Response.
class LockTask : public PeerTask {
public:
    LockTask(std::string peerName, bool take) : PeerTask(std::move(peerName)), take(take) {}

    int interruptedStatus() const override { return holding ? EXIT_OK : EXIT_TIMEOUT; }

    void onIdle(CorvoTool& tool) override
    {
        // An open tool would not even see a secured daemon.
        if (!tool.isSecured())
            return fail(tool, EXIT_USAGE, "locks need a secured site: give --key");
        PeerTask::onIdle(tool);
    }

    void onInterrupt(CorvoTool& tool) override
    {
        if (!holding || !peer)
            return;
        // The lock is released as the holder leaves.
        tool.net().sendOne(ProtobufToZMsg(genCommandPB({"unlock"})), peer);
        std::cout << escapeControl("released the lock of " + peer->name) << std::endl;
        released = true;
    }
    bool lingers() const override { return released; }

protected:
    void ready(CorvoTool& tool) override
    {
        if (!peer->commands.count(command()) || !peer->properties.count("lock"))
            return fail(tool, EXIT_NOT_FOUND, peer->name + " offers no lock (not a secured daemon)");
        mine = tool.getIdentity() + " until ";
        send(tool);
    }

    void step(CorvoTool& tool) override
    {
        if (waitingForPeer) {
            if (waitExpired())
                fail(tool, EXIT_TIMEOUT,
                     peer->name + " did not confirm " + command() + " within " + secondsText(timeoutSeconds));
            return;
        }
        if (holding && Clock::now() >= renewAt)
            send(tool);
    }

    void onProperty(CorvoTool& tool, Peer& from, const Property& property) override
    {
        if (!fromPeer(from) || property.name != "lock" || property.type != Property::STRING)
            return;
        bool ours = property.strValue.rfind(mine, 0) == 0;
        if (holding && !waitingForPeer && !ours) {
            std::string by = property.strValue.empty() ? "released" : "taken by " + property.strValue;
            return fail(tool, EXIT_REFUSED, "lost the lock of " + peer->name + ": " + by);
        }
        if (!waitingForPeer || ours != take)
            return;
        waitingForPeer = false;
        if (!take) {
            std::cout << escapeControl("unlocked " + peer->name) << '\n';
            return tool.finish(EXIT_OK);
        }
        std::cout << escapeControl(peer->name + " locked by " + property.strValue) << std::endl;
        if (!tool.options().hold)
            return tool.finish(EXIT_OK);
        holding = true;
        // Renewed at half the lease, so that a late answer never lets it end.
        renewAt = Clock::now() + std::chrono::milliseconds(tool.options().leaseSeconds * 500);
    }

    void onResponse(CorvoTool& tool, Peer& from, const corvo::proto::Response& response) override
    {
        if (!waitingForPeer || !fromPeer(from) || response.error().empty() ||
            response.command().cmd_name() != command())
            return;
        fail(tool, EXIT_REFUSED, peer->name + " refused " + command() + ": " + response.error());
    }

private:
    std::string command() const { return take ? "lock" : "unlock"; }

    void send(CorvoTool& tool)
    {
        std::vector<std::string> words{command()};
        if (take)
            words.push_back(std::to_string(tool.options().leaseSeconds));
        tool.net().sendOne(ProtobufToZMsg(genCommandPB(words)), peer);
        timeoutSeconds = tool.options().timeout;
        startWaiting();
    }

    bool take;
    std::string mine;  // the start of the lock property while we hold it
    bool holding = false;
    bool released = false;
    Clock::time_point renewAt;
};

// ------------------------------------------------------ watch and log

// Follows events until SIGINT, until --count records were printed, or until
// an explicit --timeout.
class FollowTask : public Task {
public:
    explicit FollowTask(std::vector<std::string> names) : names(std::move(names)) {}

    void onIdle(CorvoTool& tool) override
    {
        const ToolOptions& o = tool.options();
        if (o.timeoutGiven && Clock::now() >= tool.deadline()) {
            if (o.count && printed < o.count)
                return fail(tool, EXIT_TIMEOUT,
                            "only " + std::to_string(printed) + " of " + std::to_string(o.count) + " records within " +
                                secondsText(o.timeout));
            tool.finish(EXIT_OK);
        }
    }

    int interruptedStatus() const override { return EXIT_OK; }

protected:
    bool selected(const Peer& peer, const std::string& otherName = "") const
    {
        if (names.empty())
            return true;
        for (const auto& n : names)
            if (n == peer.name || n == peer.uuid || (!otherName.empty() && n == otherName))
                return true;
        return false;
    }

    void emit(CorvoTool& tool, const std::string& line, bool counts = true)
    {
        std::cout << escapeControl(line) << std::endl;
        if (!counts)
            return;
        ++printed;
        if (tool.options().count && printed >= tool.options().count)
            tool.finish(EXIT_OK);
    }

    std::vector<std::string> names;
    long printed = 0;
};

class WatchTask : public FollowTask {
public:
    using FollowTask::FollowTask;

    void onProperty(CorvoTool& tool, Peer& peer, const Property& p) override
    {
        if (!selected(peer))
            return;
        if (tool.options().json) {
            emit(tool, JsonObject()
                           .str("time", nowText())
                           .str("event", "property")
                           .str("peer", peer.name)
                           .str("name", p.name)
                           .field("value", jsonValue(p))
                           .str("text", displayText(p))
                           .str("unit", p.egu)
                           .done());
            return;
        }
        std::string unit = p.egu.empty() ? "" : " " + p.egu;
        emit(tool, nowText() + " " + peer.name + " " + p.name + " = " + displayText(p) + unit);
    }

    void onStatus(CorvoTool& tool, Peer& peer, unsigned int status) override
    {
        if (!selected(peer))
            return;
        if (tool.options().json) {
            emit(tool, JsonObject()
                           .str("time", nowText())
                           .str("event", "status")
                           .str("peer", peer.name)
                           .number("status", status)
                           .str("text", statusText(peer, status))
                           .done());
            return;
        }
        emit(tool,
             nowText() + " " + peer.name + " status " + statusText(peer, status) + " (" + std::to_string(status) + ")");
    }

    void onEnter(CorvoTool& tool, Peer& peer) override { presence(tool, peer, "entered"); }
    void onExit(CorvoTool& tool, Peer& peer) override
    {
        silentPeers.erase(peer.uuid);
        presence(tool, peer, "left");
    }

    // The node flags a peer silent at the evasive timeout and clears the
    // flag when the peer is heard again; the loop's idle turn compares the
    // flags with those last reported.
    void onIdle(CorvoTool& tool) override
    {
        for (const auto& peer : tool.sitePeers()) {
            bool wasSilent = silentPeers.count(peer->uuid) != 0;
            if (peer->silent == wasSilent)
                continue;
            if (peer->silent)
                silentPeers.insert(peer->uuid);
            else
                silentPeers.erase(peer->uuid);
            presence(tool, *peer, peer->silent ? "silent" : "back");
        }
        FollowTask::onIdle(tool);
    }

private:
    std::set<std::string> silentPeers;  // UUIDs reported silent and not back or gone

    // Arrivals and departures of daemons, and of clients only when named:
    // every run of a tool would otherwise add two lines.
    void presence(CorvoTool& tool, Peer& peer, const std::string& what)
    {
        if (!selected(peer) || (peer.client && names.empty()))
            return;
        if (tool.options().json)
            emit(tool, JsonObject().str("time", nowText()).str("event", what).str("peer", peer.name).done(), false);
        else
            emit(tool, nowText() + " " + peer.name + " " + what, false);
    }
};

class LogTask : public FollowTask {
public:
    using FollowTask::FollowTask;

    bool wantsLog() const override { return true; }

    void onLog(CorvoTool& tool, Peer& peer, const corvo::proto::Log& log) override
    {
        if (!selected(peer, log.logger()))
            return;
        std::string when = peerTimeText(log.timestamp().seconds(), log.timestamp().nanos());
        std::string level = levelName(log.level());
        if (tool.options().json) {
            emit(tool, JsonObject()
                           .str("time", when)
                           .str("peer", peer.name)
                           .str("logger", log.logger())
                           .str("level", level)
                           .str("message", log.message())
                           .done());
            return;
        }
        emit(tool, "[" + when + "] [" + log.logger() + "] [" + level + "] " + log.message());
    }

private:
    static std::string levelName(int level)
    {
        static const char* const names[] = {"trace", "debug", "info", "warning", "error", "critical", "off"};
        if (level >= 0 && level < 7)
            return names[level];
        return "level" + std::to_string(level);
    }
};

}  // namespace

std::unique_ptr<Task> makeTask(const std::vector<std::string>& words, int& status)
{
    status = EXIT_USAGE;
    const std::string& sub = words.at(0);
    auto usage = [&](const std::string& form) -> std::unique_ptr<Task> {
        std::cerr << "corvo: usage: corvo " << form << std::endl;
        return nullptr;
    };
    std::vector<std::string> rest(words.begin() + 1, words.end());
    if (sub == "peers")
        return rest.empty() ? std::make_unique<PeersTask>() : usage("peers");
    if (sub == "info")
        return rest.size() == 1 ? std::make_unique<InfoTask>(rest[0]) : usage("info PEER");
    if (sub == "get")
        return rest.size() == 2 ? std::make_unique<GetTask>(rest[0], rest[1]) : usage("get PEER PROPERTY");
    if (sub == "set")
        return rest.size() == 3 ? std::make_unique<SetTask>(rest[0], rest[1], rest[2])
                                : usage("set PEER PROPERTY VALUE");
    if (sub == "cmd")
        return rest.size() >= 2
                   ? std::make_unique<CmdTask>(rest[0], std::vector<std::string>(rest.begin() + 1, rest.end()))
                   : usage("cmd PEER COMMAND [ARG...]");
    if (sub == "lock")
        return rest.size() == 1 ? std::make_unique<LockTask>(rest[0], true)
                                : usage("lock PEER [--for DURATION] [--hold]");
    if (sub == "unlock")
        return rest.size() == 1 ? std::make_unique<LockTask>(rest[0], false) : usage("unlock PEER");
    if (sub == "watch")
        return std::make_unique<WatchTask>(rest);
    if (sub == "log")
        return std::make_unique<LogTask>(rest);
    if (sub == "alarms")
        return makeAlarmsTask(rest, status);
    if (sub == "fetch")
        return makeFetchTask(rest, status);
    std::cerr << "corvo: unknown subcommand '" << sub << "' (try --help)" << std::endl;
    return nullptr;
}

void printUsage(std::FILE* out)
{
    std::fputs("usage: corvo [OPTIONS] SUBCOMMAND [ARGS...]\n"
               "\n"
               "subcommands:\n"
               "  peers                       every program of the site: name, type, role, status, address,\n"
               "                              how it was found (beacon, gossip)\n"
               "  info PEER                   properties, commands and status values of a peer\n"
               "  get PEER PROPERTY           a property's value in text form (--json: an object)\n"
               "  set PEER PROPERTY VALUE     asks the peer to change a writable property and prints\n"
               "                              the value it confirms; lists are comma-separated\n"
               "  cmd PEER COMMAND [ARG...]   runs a command of the peer (--wait PROPERTY: wait for\n"
               "                              its next broadcast of PROPERTY and print it)\n"
               "  watch [PEER...]             prints property and status changes until interrupted\n"
               "  log [PEER...]               follows the site's log records until interrupted\n"
               "  lock PEER                   takes or renews exclusive control of a daemon of a secured\n"
               "                              site (--for DURATION: lease, e.g. 90s, 30m, 2h; default\n"
               "                              15m; --hold: renews until interrupted, then releases)\n"
               "  unlock PEER                 releases it (an identity with the override right breaks\n"
               "                              another's lock)\n"
               "  alarms                      alarms of corvo-alarmd: active, shelved, disabled (--json)\n"
               "  alarms ack RULE             acknowledges; alarms shelve RULE DURATION [REASON...]\n"
               "  fetch CAMERA [NAME|latest]  copies an image of a camera (a name below its image root,\n"
               "                              default latest) to -o FILE or DIR (default: here); a\n"
               "                              broken fetch resumes from its .part file; --follow:\n"
               "                              fetches each image the camera announces into DIR,\n"
               "                              until interrupted; --compress zstd: compressed chunks\n"
               "  fitshdr FILE                prints the header cards of a FITS file\n"
               "  history PEER PROPERTY       recorded samples (--since, --until, --every, --csv, --db);\n"
               "  history --log [PEER]        recorded log records; --status PEER: status changes;\n"
               "  history --gaps              times with dropped rows or no archiver running\n"
               "  keys new NAME               makes a key pair for identity NAME in the key directory\n"
               "                              (--names: names it may announce, --groups: its groups)\n"
               "  keys list                   the trusted identities of the key directory\n"
               "  help                        this text\n"
               "\n"
               "PEER is a component name or a UUID. Values that begin with '-' may follow '--'.\n"
               "\n"
               "exit status:\n"
               "  0  success (watch, log and fetch --follow: also when interrupted with SIGINT)\n"
               "  1  bad option, or --help (the option parser's)\n"
               "  2  usage error: wrong subcommand or arguments, value that does not parse,\n"
               "     a name that two live peers share (their UUIDs are listed)\n"
               "  3  peer, property, command or file not found\n"
               "  4  not confirmed in time (no description, no confirming broadcast,\n"
               "     too few records within --timeout), or interrupted\n"
               "  5  refused: read-only property, value outside its limits or choices,\n"
               "     or a request the peer refused (its reason is printed: no right,\n"
               "     locked by another identity, ...); a held lock lost\n"
               "  6  history: the database cannot be opened or read\n"
               "  7  fetch: the transfer failed (checksum mismatch, broken stream, write error;\n"
               "     --follow: one of the images failed)\n"
               "\n",
               out);
    std::fflush(out);
}

}  // namespace corvo::tool
