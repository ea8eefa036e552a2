/*  The project's own ZRE v2 node, offering the part of zyre's stable C API
    that the network layer uses, with zyre's names, signatures and meaning.

    A node runs a background actor that owns the discovery beacon, the ROUTER
    inbox and one DEALER mailbox per peer. The API talks to the actor over a
    pipe; events wait in a queue and are read with zyre_event_new(); the
    socket that zyre_socket() returns is readable while one waits.         */
#ifndef CORVO_ZRE_ZYRE_H_INCLUDED
#define CORVO_ZRE_ZYRE_H_INCLUDED

#include <czmq.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _zyre_t zyre_t;
typedef struct _zyre_event_t zyre_event_t;

/* Node ------------------------------------------------------------------ */

/* Creates a node with the given name (NULL: the first six hex characters
   of its UUID). The node is not started. Safe to call from several
   threads at once. */
zyre_t* zyre_new(const char* name);
/* Stops the node if it runs, destroys it and sets *self_p to NULL. */
void zyre_destroy(zyre_t** self_p);

/* 32 upper-case hexadecimal characters. */
const char* zyre_uuid(zyre_t* self);
const char* zyre_name(zyre_t* self);
/* Name, headers, port, interface, interval and timeouts take effect at
   zyre_start(). */
void zyre_set_name(zyre_t* self, const char* name);
void zyre_set_header(zyre_t* self, const char* name, const char* format, ...) __attribute__((format(printf, 3, 4)));
/* Traces the node's activity on standard error. */
void zyre_set_verbose(zyre_t* self);
/* UDP discovery port, 5670 by default; 0: no beacons (gossip only). */
void zyre_set_port(zyre_t* self, int port_nbr);
/* Network interface by name (or IPv4 address); otherwise ZSYS_INTERFACE,
   otherwise the first broadcast-capable interface, otherwise (a node that
   gossips) any other non-loopback one, otherwise loopback. */
void zyre_set_interface(zyre_t* self, const char* value);
/* Beacon interval in milliseconds, 1000 by default. */
void zyre_set_interval(zyre_t* self, size_t interval);
/* Silence (no message, no beacon, no answer to a PING) after which a peer
   is pinged and reported EVASIVE, and SILENT the first time (5000 ms). A
   peer quiet for three quarters of it is pinged first: its answer keeps it
   live. */
void zyre_set_evasive_timeout(zyre_t* self, int interval);
/* Silence after which a peer is dropped and reported EXIT (30000 ms). */
void zyre_set_expired_timeout(zyre_t* self, int interval);

/* Secured sites (this node only, not zyre's API) -------------------------

   With a key pair the node is secured: its beacon carries its public key,
   every mailbox connection is CURVE-encrypted, and only peers whose key was
   given with zyre_trust_key get a session. A secured and an open node do
   not talk to each other; each logs why on standard error. Keys are Z85
   text (40 characters). Both take effect at zyre_start(); 0, or -1 for a
   malformed key or a messaging library without CURVE. */
int zyre_set_curve_keypair(zyre_t* self, const char* public_key, const char* secret_key);
/* Trusts `public_key` as `identity`, which may announce the names matching
   one of the comma-separated shell patterns in `names`. -1 also when the
   key or the identity is already trusted. */
int zyre_trust_key(zyre_t* self, const char* public_key, const char* identity, const char* names);
/* Stops trusting `public_key`; -1 when it was not trusted or is malformed. */
int zyre_untrust_key(zyre_t* self, const char* public_key);
/* After zyre_start(), the keys trusted and untrusted since take effect
   only here (so that a change of several keys is one step): when it
   returns, handshakes with a key no longer trusted are refused, messages
   over connections made with such a key are ignored, and every peer whose
   key is no longer trusted, or whose identity may no longer announce its
   name, has been dropped (EXIT). 0, or -1 on an open node. */
int zyre_apply_trust(zyre_t* self);
/* On a secured node, ENTER events carry the identity that the peer proved
   as this header; the node drops any header of this name that peers send. */
#define ZYRE_IDENTITY_HEADER "X-CORVO-IDENTITY"

/* Starts discovery; 0 on success, -1 when the interface or the sockets
   cannot be set up. */
int zyre_start(zyre_t* self);
/* Gossip discovery beside the beacons (off unless one of these is called
   before zyre_start()): bind a gossip endpoint others connect to, and
   connect to another node's (up to 16). Endpoints are "tcp://A.B.C.D:PORT".
   Tuples are bounded (1,000) and expire (see zre/README.md). */
void zyre_gossip_bind(zyre_t* self, const char* format, ...);
void zyre_gossip_connect(zyre_t* self, const char* format, ...);
/* Connects to a CURVE-secured gossip endpoint whose server key is
   `public_key` (Z85). On a secured node the bound gossip endpoint is
   CURVE-secured with the node's key pair, and only clients whose key the
   node trusts get a session: a node without a trusted key cannot publish
   tuples. This node connects with its own key pair (a fresh one if it has
   none). A tuple only names a mailbox: the HELLO over it decides who the
   peer is. An endpoint with a malformed key is left out at zyre_start()
   (a warning on standard error). */
void zyre_gossip_connect_curve(zyre_t* self, const char* public_key, const char* format, ...);
/* Delivers what was handed to the node before (peers that were sent
   something confirm it by answering a PING; at most 300 ms), then sends
   the leaving beacon, drops every peer and emits STOP. */
void zyre_stop(zyre_t* self);

/* Joins / leaves a group; 0, or -1 for a name longer than 255 bytes. */
int zyre_join(zyre_t* self, const char* group);
int zyre_leave(zyre_t* self, const char* group);
/* Sends a message to one peer (by UUID) or to a group's members. The
   message is taken over and *msg_p set to NULL. Returns 0. */
int zyre_whisper(zyre_t* self, const char* peer, zmsg_t** msg_p);
int zyre_shout(zyre_t* self, const char* group, zmsg_t** msg_p);

/* The socket the application polls for events. */
zsock_t* zyre_socket(zyre_t* self);

/* This node's own addition to the API (ZRE_HAS_DROPPED_EVENTS): events the
   node dropped because the application did not read them (it keeps at most
   100,000 events or 64 MiB beyond what the event socket holds). */
#define ZRE_HAS_DROPPED_EVENTS 1
uint64_t zyre_dropped_events(zyre_t* self);

/* This node's own addition to the API (ZRE_HAS_PEER_FOUND_BY): how a peer
   was found. A newly allocated string (free it with zstr_free): "beacon"
   (its UDP beacon), "gossip" (a gossip tuple naming its endpoint),
   "beacon,gossip" (both), or "" (it greeted this node first and has not
   been heard of either way yet; it usually is within a beacon interval or
   a gossip round). NULL when `peer` (a UUID) is not a peer that said HELLO,
   or the node does not run. Reads the peer table directly (no round trip
   through the node's pipe). */
#define ZRE_HAS_PEER_FOUND_BY 1
char* zyre_peer_found_by(zyre_t* self, const char* peer);

/* This node's own addition to the API (ZRE_HAS_DIRECT_RECEIVE): the
   application's thread may read the node's inbox itself, which saves one
   thread wake-up per received message. zyre_inbox_fd() is a descriptor
   (the inbox socket's ZMQ_FD; -1 while the node does not run) that becomes
   readable when messages arrive; it is edge-like: it may stay quiet while
   messages wait that a reader left. zyre_receive_direct() then reads up to
   a batch (256 messages) with the node's usual rules and bounds, on the
   calling thread (after the node's thread, if that is at work at that
   moment: its turns are short); the events land in the event queue in
   arrival order, to be read with zyre_event_new() as usual. Returns the
   messages read (0: none waited, or the node's thread read them first),
   or -1 when the node does not read now (it has paused reading because
   too many events wait, or it does not run): its events then come
   through zyre_socket() as always, so wait on that alone until the next
   event. The node's thread keeps reading the inbox whenever the
   application does not, so an application that never calls these loses
   nothing. Call both from the thread that reads the events; the
   descriptor must not be read or closed. zyre_event_new() tries a direct
   read itself before it blocks.
   zyre_inbox_waiting(node, true) says that the calling thread is about to
   block on the descriptor and will call zyre_receive_direct() when it
   signals; zyre_inbox_waiting(node, false) that the wait has ended (call
   it at once after waking, before other work). While a reader waits and
   messages came within the last 500 ms, a few at a time (a stream is
   read faster by both threads), the node's thread leaves the inbox out of
   its own wait, so a message wakes one thread, not two; it
   looks at the inbox every 500 ms anyway, and as soon as it wakes for
   anything else while no reader waits. Calls nest:
   every true needs its false. zyre_event_new() does this around its own
   wait. */
#define ZRE_HAS_DIRECT_RECEIVE 1
#define ZRE_HAS_INBOX_WAITING 1
int zyre_inbox_fd(zyre_t* self);
int zyre_receive_direct(zyre_t* self);
void zyre_inbox_waiting(zyre_t* self, bool waiting);

/* This node's own addition to the API (ZRE_HAS_UNSIGNALLED_RECEIVE): as
   zyre_receive_direct(), for a reader that calls zyre_event_waiting() or
   zyre_event_new() next. The events it queues do not make zyre_socket()
   readable: handing the socket a token and taking it back costs a few
   system calls a message, for nobody, as this thread reads the events
   itself. zyre_event_new() makes the socket readable again for those it
   leaves unread, and zyre_event_waiting() sees them all. Events that the
   node's thread queues during this call may be left unsignalled in the
   same way. zyre_event_new() reads the inbox this way itself. */
#define ZRE_HAS_UNSIGNALLED_RECEIVE 1
int zyre_receive_direct_unsignalled(zyre_t* self);

/* Events ---------------------------------------------------------------- */

/* This node's own addition to the API (ZRE_HAS_EVENT_WAITING): whether an
   event waits to be read, without a system call (asking zyre_socket() with
   zsock_events() costs libzmq two). Call it from the thread that reads the
   events; zyre_socket() stays readable exactly while this is true (but
   for events of zyre_receive_direct_unsignalled(), until the next
   zyre_event_new()). When it returns false, the socket's descriptor
   (ZMQ_FD) is armed: it signals the next event without a zsock_events()
   look first. That look costs two system calls once after the socket was
   last signalled, and none otherwise. */
#define ZRE_HAS_EVENT_WAITING 1
bool zyre_event_waiting(zyre_t* self);

/* Waits for and reads the next event; NULL when interrupted. */
zyre_event_t* zyre_event_new(zyre_t* node);
void zyre_event_destroy(zyre_event_t** self_p);

/* "ENTER", "EXIT", "JOIN", "LEAVE", "WHISPER", "SHOUT", "EVASIVE", "SILENT",
   "ALIVE", "STOP".
   Liveness of a peer between ENTER and EXIT:
   - SILENT: nothing heard from it for the evasive timeout; once per
     silence (EVASIVE repeats at every check). It stays a peer until it is
     heard from again (ALIVE) or the expired timeout passes (EXIT).
   - ALIVE: a peer reported SILENT was heard from again (a message, a
     beacon, or its answer to a PING).
   - EXIT also comes at once (within about 0.5 s) for a peer whose
     connection to this node closed and that does not answer a check:
     a killed program. */
const char* zyre_event_type(zyre_event_t* self);
const char* zyre_event_peer_uuid(zyre_event_t* self);
const char* zyre_event_peer_name(zyre_event_t* self);
/* ENTER only: "tcp://ip:port" of the peer's inbox; NULL otherwise. */
const char* zyre_event_peer_addr(zyre_event_t* self);
/* ENTER only: the peer's headers; NULL otherwise. Owned by the event. */
zhash_t* zyre_event_headers(zyre_event_t* self);
const char* zyre_event_header(zyre_event_t* self, const char* name);
/* JOIN, LEAVE, SHOUT: the group; NULL otherwise. */
const char* zyre_event_group(zyre_event_t* self);
/* WHISPER, SHOUT: the content frames; still owned by the event. The first
   call copies the frames into the zmsg_t. */
zmsg_t* zyre_event_msg(zyre_event_t* self);
/* This node's own addition to the API (ZRE_HAS_EVENT_FRAMES), WHISPER,
   SHOUT: the content frames without a zmsg_t (no copy): their
   count, and the bytes of frame `index` (its size in *size when size is not
   NULL), valid until the event is destroyed; NULL past the last frame, and
   the count 0 for other events. After zyre_event_msg() they are read from
   that zmsg_t. */
#define ZRE_HAS_EVENT_FRAMES 1
size_t zyre_event_frame_count(zyre_event_t* self);
const void* zyre_event_frame(zyre_event_t* self, size_t index, size_t* size);

#ifdef __cplusplus
}
#endif

#endif
