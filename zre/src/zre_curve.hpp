// Secured sites: the CURVE key pair of a node, the keys it trusts, the
// secured beacon, and the process-wide ZAP handler that decides which
// connections an inbox accepts.
//
// On a secured site every node has a CURVE key pair. Its beacon carries its
// public key after the usual 22 bytes, so a peer knows the key of the inbox
// it connects to; the CURVE handshake proves the key, and the trust table
// (built from the key directory by the program) decides whether a session
// is allowed at all. A key's identity decides which names it may announce.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "zre_codec.hpp"

namespace zre {

using CurveKey = std::array<uint8_t, 32>;

constexpr size_t kSecureBeaconSize = kBeaconSize + 32;
// Reserved header on ENTER events of a secured node: the identity whose key
// the peer proved. A header of this name sent by a peer is dropped.
constexpr const char* kIdentityHeader = "X-CORVO-IDENTITY";
// Metadata the ZAP handler gives a connection beside its User-Id: the Z85
// key it proved, so that its messages can be checked against the keys
// trusted now, not when it connected.
constexpr const char* kKeyProperty = "X-Trusted-Key";

// Z85 text (40 characters) to the raw key; empty when not a key.
std::optional<CurveKey> curveKeyFromText(const std::string& z85);
std::string curveKeyToText(const CurveKey& key);

struct TrustedIdentity {
    std::string identity;
    CurveKey key{};
    // Component names (shell patterns) the identity may announce.
    std::vector<std::string> names;

    bool mayAnnounce(const std::string& name) const;
};

// The keys a node trusts. A table shared with the node and the ZAP handler
// is never changed: a change of trust makes a new table that replaces it.
class TrustTable {
public:
    // False when the key or the identity is already listed (the first
    // entry stays).
    bool add(TrustedIdentity entry);
    // False when the key is not listed.
    bool remove(const CurveKey& key);
    // The identity is listed, and with this key.
    bool trusts(const std::string& identity, const CurveKey& key) const;
    const TrustedIdentity* byKey(const CurveKey& key) const;
    const TrustedIdentity* byIdentity(const std::string& identity) const;
    size_t size() const { return byKey_.size(); }

private:
    std::map<CurveKey, TrustedIdentity> byKey_;
    std::map<std::string, CurveKey> byIdentity_;
};

struct CurveSetup {
    CurveKey publicKey{};
    CurveKey secretKey{};
    std::shared_ptr<const TrustTable> trust;
};

struct SecureBeacon {
    Beacon beacon;
    CurveKey key{};
};

std::vector<uint8_t> encodeSecureBeacon(const Beacon& beacon, const CurveKey& key);
// Empty unless `data` is exactly one well-formed secured beacon.
std::optional<SecureBeacon> parseSecureBeacon(const uint8_t* data, size_t size);

// The process-wide ZAP handler (one per messaging context). A secured inbox
// sets its ZAP domain to its node's UUID and registers its trust table under
// it; the handler answers every CURVE handshake from that table, with the
// identity as the connection's User-Id. Untrusted keys are refused and the
// refusal logged on standard error (once per key and domain, bounded).
// Registering a domain again replaces its table: every handshake after that
// is answered from the new one (connections made before are not touched;
// the node checks their messages against its own table).
// Registered domains keep the handler alive; the last one out stops it.
bool registerZapDomain(const std::string& domain, std::shared_ptr<const TrustTable> trust);
void unregisterZapDomain(const std::string& domain);

// Logs a line on standard error at most once per `key`, remembering at most
// kMaxRememberedRefusals keys (then it forgets them all and starts over).
class RefusalLog {
public:
    static constexpr size_t kMaxRememberedRefusals = 1024;
    void once(const std::string& key, const std::string& line);

private:
    std::set<std::string> said_;
};

}  // namespace zre
