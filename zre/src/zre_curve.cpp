#include "zre_curve.hpp"

#include <czmq.h>
#include <fnmatch.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace zre {

namespace {

constexpr const char* kZapEndpoint = "inproc://zeromq.zap.01";
constexpr size_t kZ85KeySize = 40;

}  // namespace

std::optional<CurveKey> curveKeyFromText(const std::string& z85)
{
    if (z85.size() != kZ85KeySize)
        return std::nullopt;
    CurveKey key{};
    if (!zmq_z85_decode(key.data(), z85.c_str()))
        return std::nullopt;
    return key;
}

std::string curveKeyToText(const CurveKey& key)
{
    char text[kZ85KeySize + 1] = {};
    zmq_z85_encode(text, key.data(), key.size());
    return text;
}

bool TrustedIdentity::mayAnnounce(const std::string& name) const
{
    for (const auto& pattern : names)
        if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0)
            return true;
    return false;
}

bool TrustTable::add(TrustedIdentity entry)
{
    if (byKey_.count(entry.key) || byIdentity_.count(entry.identity))
        return false;
    byIdentity_[entry.identity] = entry.key;
    CurveKey key = entry.key;
    byKey_.emplace(key, std::move(entry));
    return true;
}

bool TrustTable::remove(const CurveKey& key)
{
    auto it = byKey_.find(key);
    if (it == byKey_.end())
        return false;
    byIdentity_.erase(it->second.identity);
    byKey_.erase(it);
    return true;
}

bool TrustTable::trusts(const std::string& identity, const CurveKey& key) const
{
    auto it = byIdentity_.find(identity);
    return it != byIdentity_.end() && it->second == key;
}

const TrustedIdentity* TrustTable::byKey(const CurveKey& key) const
{
    auto it = byKey_.find(key);
    return it == byKey_.end() ? nullptr : &it->second;
}

const TrustedIdentity* TrustTable::byIdentity(const std::string& identity) const
{
    auto it = byIdentity_.find(identity);
    return it == byIdentity_.end() ? nullptr : byKey(it->second);
}

std::vector<uint8_t> encodeSecureBeacon(const Beacon& beacon, const CurveKey& key)
{
    BeaconBytes plain = encodeBeacon(beacon);
    std::vector<uint8_t> bytes(kSecureBeaconSize);
    std::memcpy(bytes.data(), plain.data(), plain.size());
    std::memcpy(bytes.data() + plain.size(), key.data(), key.size());
    return bytes;
}

std::optional<SecureBeacon> parseSecureBeacon(const uint8_t* data, size_t size)
{
    if (size != kSecureBeaconSize)
        return std::nullopt;
    auto beacon = parseBeacon(data, kBeaconSize);
    if (!beacon)
        return std::nullopt;
    SecureBeacon secure;
    secure.beacon = *beacon;
    std::memcpy(secure.key.data(), data + kBeaconSize, secure.key.size());
    return secure;
}

void RefusalLog::once(const std::string& key, const std::string& line)
{
    if (said_.count(key))
        return;
    if (said_.size() >= kMaxRememberedRefusals)
        said_.clear();
    said_.insert(key);
    std::fprintf(stderr, "%s\n", line.c_str());
}

namespace {

struct ZapRegistry {
    std::mutex lock;  // domains and refusals; taken by the handler thread
    std::map<std::string, std::shared_ptr<const TrustTable>> domains;
    RefusalLog refusals;
    std::mutex lifecycle;  // creating and destroying the handler; never taken by it
    zactor_t* actor = nullptr;
};

ZapRegistry& registry()
{
    static ZapRegistry* instance = new ZapRegistry;  // used until the process ends
    return *instance;
}

std::string frameText(zmsg_t* msg)
{
    char* text = zmsg_popstr(msg);
    std::string out = text ? text : "";
    zstr_free(&text);
    return out;
}

// The metadata frame of a ZAP reply (ZMTP properties: name length, name,
// 4-byte value length, value) naming the key the connection proved.
std::string keyMetadata(const std::string& keyText)
{
    std::string name = kKeyProperty;
    std::string out(1, char(name.size()));
    out += name;
    uint32_t size = uint32_t(keyText.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char((size >> shift) & 0xFF);
    return out + keyText;
}

// One ZAP request (version, id, domain, address, routing id, mechanism,
// credentials...) answered with status, text and User-Id.
void answerZap(zsock_t* socket, zmsg_t* request)
{
    std::string version = frameText(request);
    zframe_t* requestId = zmsg_pop(request);
    std::string domain = frameText(request);
    std::string address = frameText(request);
    zframe_t* routingId = zmsg_pop(request);
    zframe_destroy(&routingId);
    std::string mechanism = frameText(request);
    zframe_t* credential = zmsg_pop(request);

    std::string status = "400";
    std::string text = "not trusted";
    std::string userId;
    std::string keyText;
    if (version == "1.0" && mechanism == "CURVE" && credential && zframe_size(credential) == sizeof(CurveKey)) {
        CurveKey key;
        std::memcpy(key.data(), zframe_data(credential), key.size());
        ZapRegistry& reg = registry();
        std::lock_guard<std::mutex> guard(reg.lock);
        auto it = reg.domains.find(domain);
        const TrustedIdentity* trusted = it == reg.domains.end() ? nullptr : it->second->byKey(key);
        keyText = curveKeyToText(key);
        if (trusted) {
            status = "200";
            text = "OK";
            userId = trusted->identity;
        } else {
            reg.refusals.once(domain + keyText, "zre [" + domain.substr(0, 6) + "]: refused a connection from " +
                                                    address + ": key " + keyText + " is not trusted");
        }
    } else {
        std::lock_guard<std::mutex> guard(registry().lock);
        registry().refusals.once(domain + address + mechanism, "zre [" + domain.substr(0, 6) +
                                                                   "]: refused a connection from " + address +
                                                                   ": mechanism " + mechanism + " on a secured site");
    }
    zframe_destroy(&credential);

    zmsg_t* reply = zmsg_new();
    zmsg_addstr(reply, "1.0");
    if (requestId)
        zmsg_append(reply, &requestId);
    else
        zmsg_addstr(reply, "");
    zmsg_addstr(reply, status.c_str());
    zmsg_addstr(reply, text.c_str());
    zmsg_addstr(reply, userId.c_str());
    std::string metadata = status == "200" ? keyMetadata(keyText) : "";
    zmsg_addmem(reply, metadata.data(), metadata.size());
    zmsg_send(&reply, socket);
}

// `args` is a bool* set to whether the handler could bind, before it signals.
// The endpoint of a handler that just ended stays taken until libzmq's
// reaper thread has closed its socket, later on a busy machine: a new
// handler tries again for a while.
bool bindZapEndpoint(zsock_t* socket)
{
    constexpr int kRetryMs = 10, kMaxWaitMs = 2000;
    for (int waited = 0;; waited += kRetryMs) {
        if (zmq_bind(zsock_resolve(socket), kZapEndpoint) == 0)
            return true;
        if (errno != EADDRINUSE || waited >= kMaxWaitMs)
            return false;
        zclock_sleep(kRetryMs);
    }
}

void runZapHandler(zsock_t* pipe, void* args)
{
    zsock_t* socket = zsock_new(ZMQ_REP);
    bool bound = socket && bindZapEndpoint(socket);
    *static_cast<bool*>(args) = bound;
    zsock_signal(pipe, 0);
    if (!bound) {
        zsock_destroy(&socket);
        return;
    }
    zpoller_t* poller = zpoller_new(pipe, socket, nullptr);
    while (true) {
        void* which = zpoller_wait(poller, -1);
        if (which == socket) {
            zmsg_t* request = zmsg_recv(socket);
            if (request) {
                answerZap(socket, request);
                zmsg_destroy(&request);
            }
            continue;
        }
        if (which == pipe) {
            zmsg_t* command = zmsg_recv(pipe);
            char* word = command ? zmsg_popstr(command) : nullptr;
            bool term = !word || std::strcmp(word, "$TERM") == 0;
            zstr_free(&word);
            zmsg_destroy(&command);
            if (term)
                break;
            continue;
        }
        if (zpoller_terminated(poller))
            break;
    }
    zpoller_destroy(&poller);
    zsock_destroy(&socket);
}

}  // namespace

bool registerZapDomain(const std::string& domain, std::shared_ptr<const TrustTable> trust)
{
    ZapRegistry& reg = registry();
    std::lock_guard<std::mutex> life(reg.lifecycle);
    if (!reg.actor) {
        // Without a handler, CURVE would accept every client: no handler, no
        // secured inbox.
        bool bound = false;
        reg.actor = zactor_new(runZapHandler, &bound);
        if (!reg.actor || !bound) {
            std::fprintf(stderr, "zre: cannot bind the authentication handler at %s\n", kZapEndpoint);
            zactor_destroy(&reg.actor);
            return false;
        }
    }
    std::lock_guard<std::mutex> guard(reg.lock);
    reg.domains[domain] = std::move(trust);
    return true;
}

void unregisterZapDomain(const std::string& domain)
{
    ZapRegistry& reg = registry();
    std::lock_guard<std::mutex> life(reg.lifecycle);
    bool last = false;
    {
        std::lock_guard<std::mutex> guard(reg.lock);
        if (reg.domains.erase(domain) == 0)
            return;
        last = reg.domains.empty();
    }
    if (last)
        zactor_destroy(&reg.actor);
}

}  // namespace zre
