#include "site_node.h"

#include <pybind11/stl.h>

#include <chrono>
#include <iostream>

#include "completions.h"
#include "corvo/message.h"

namespace corvo::python {

namespace {

double secondsSinceEpoch(std::chrono::system_clock::time_point time)
{
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

// The sender's time of sending a property broadcast (its clock): the
// receive time less the delay the library measured from the message's send
// time; None when the message carried no send time.
py::object sentTime(const Property& property)
{
    double sent = secondsSinceEpoch(property.timestamp) - static_cast<double>(property.delayUs) * 1e-6;
    if (sent < 1.0)
        return py::none();
    return py::float_(sent);
}

const char* typeName(Property::Type type)
{
    switch (type) {
        case Property::INT:
            return "int";
        case Property::DOUBLE:
            return "float";
        case Property::STRING:
            return "str";
        case Property::INT_LIST:
            return "list[int]";
        case Property::DOUBLE_LIST:
            return "list[float]";
        case Property::STR_LIST:
            return "list[str]";
        default:
            return "unknown";
    }
}

const char* argTypeName(ArgType type)
{
    switch (type) {
        case ARG_STRING:
            return "str";
        case ARG_INT:
            return "int";
        case ARG_DOUBLE:
            return "float";
        case ARG_BOOL:
            return "bool";
        default:
            return "unknown";
    }
}

py::object limitsOf(const Property& property)
{
    if (property.type == Property::INT)
        return py::make_tuple(boost::get<long>(&property.valueMin) ? *boost::get<long>(&property.valueMin) : 0L,
                              boost::get<long>(&property.valueMax) ? *boost::get<long>(&property.valueMax) : 0L);
    if (property.type == Property::DOUBLE) {
        auto asDouble = [](const Property::Limit& limit) {
            const double* d = boost::get<double>(&limit);
            return d ? *d : static_cast<double>(boost::get<long>(limit));
        };
        return py::make_tuple(asDouble(property.valueMin), asDouble(property.valueMax));
    }
    return py::none();
}

}  // namespace

// One event, kept as C++ data until the batch is handed over under the GIL.
struct SiteNode::Event {
    enum Kind { ENTER, INFO, EXIT, PROPERTY, STATUS, LOG, REFUSED, APPLIED, SILENT, IMAGE, CHUNKS, READY } kind;
    std::shared_ptr<Peer> peer;
    std::string uuid;
    Property property;  // PROPERTY
    unsigned int status = 0;
    bool silent = false;  // SILENT: silent now, or heard again
    corvo::proto::Log log;
    // REFUSED: what was refused ("property" or "command"), its name, why;
    // APPLIED: the property (in refusedName).
    std::string refusedKind;
    std::string refusedName;
    std::string reason;
    std::vector<std::string> echoedArgs;  // REFUSED command: its arguments as echoed
    // IMAGE, CHUNKS: the transfer, the image's name and size; IMAGE: the
    // failure's kind (refusedKind) and reason, the file written, the bytes
    // (MEMORY), the resume offset; CHUNKS: the bytes that came.
    uint64_t transfer = 0, imageSize = 0, resumed = 0;
    std::string imageName, path, data;
    std::vector<std::string> chunks;
    corvo::proto::ImageReady ready;  // READY
    double time = 0;                 // READY: when it was received

    Event(Kind kind, std::shared_ptr<Peer> from) : kind(kind), peer(std::move(from)), uuid(peer->uuid) {}
};

SiteNode::SiteNode(const SiteOptions& options, py::object sink) : options(options), sink(holdPython(std::move(sink))) {}

SiteNode::~SiteNode()
{
    close();
}

void SiteNode::start()
{
    network = std::make_unique<Network>(this, false);
    if (!options.name.empty())
        network->setName(options.name);
    else if (!options.keyPair.identity.empty())
        network->setName(options.keyPair.identity);  // a name the identity may announce by default
    network->setPort(options.port);
    if (!options.interface.empty())
        network->setInterface(options.interface);
    network->setDiscovery(options.discovery);
    network->siteGroup = options.site;
    network->logGroup = options.site + "-log";
    network->propGroup = options.site + "-prop";
    network->join(options.site);
    network->setClient(true);
    network->setRecvValue(true);
    if (!options.keyPair.identity.empty()) {
        network->setSecurity(options.keyPair, options.trusted);
        network->watchKeys(options.keyDirectory);
    }
    network->setType("client");
    network->start();
    if (!network->isStarted()) {
        network.reset();
        throw std::runtime_error("cannot start the network node (interface " +
                                 (options.interface.empty() ? std::string("default") : options.interface) + ")");
    }
    nodeUuid = network->getUUID();
    LoopThread::instance().addNode(this);
}

void SiteNode::close()
{
    if (!network)
        return;
    LoopThread::instance().removeNode(this);
    for (auto& [transfer, fetch] : fetches)
        if (zmsg_t* cancel = fetch->cancel())
            whisper(cancel, fetch->camera());
    fetches.clear();
    batch.clear();
    network.reset();  // leaves the site at once
}

void SiteNode::receiveLogs(bool on)
{
    // Joined once and never left: a daemon takes a peer's LEAVE of any group
    // for its exit, and would then ignore its commands.
    if (network && on && !logsOn) {
        network->setRecvLog(true);
        logsOn = true;
    }
}

std::shared_ptr<Peer> SiteNode::findPeer(const std::string& peerUuid) const
{
    if (!network)
        return nullptr;
    return network->peers().byUuid(peerUuid);
}

bool SiteNode::changeProperty(const std::string& peerUuid, const std::string& name, const TypedValue& value)
{
    auto peer = findPeer(peerUuid);
    if (!peer)
        return false;
    auto it = peer->properties.find(name);
    if (it == peer->properties.end())
        return false;
    Property requested = it->second;  // a detached copy: it publishes nothing
    requested.master = nullptr;
    try {
        value.assignTo(requested, false);
    } catch (const std::exception&) {
        return false;  // the peer redescribed the property with another type
    }
    network->changeProperty(peer, &requested);
    return true;
}

bool SiteNode::sendCommand(const std::string& peerUuid, const std::vector<std::string>& words)
{
    auto peer = findPeer(peerUuid);
    if (!peer || words.empty())
        return false;
    // Stamped with the sending time, so the daemon can tell the transit delay.
    network->sendOne(ProtobufToZMsg(genCommandPB(words)), peer);
    return true;
}

void* SiteNode::socket()
{
    return network ? network->eventSocket() : nullptr;
}

void SiteNode::drain()
{
    while (network && batch.size() < kMaxBatch && network->poll(0)) {
        try {
            network->recv();
        } catch (const std::exception& e) {
            std::cerr << "corvo: site " << options.site << ": " << e.what() << std::endl;
        }
    }
    noticeSilence();
    deliver();
}

void SiteNode::noticeSilence()
{
    if (!network)
        return;
    for (auto it = reportedSilent.begin(); it != reportedSilent.end();) {
        auto peer = network->peers().byUuid(*it);
        if (!peer) {
            it = reportedSilent.erase(it);  // gone: its exit says so
            continue;
        }
        if (!peer->silent) {
            auto event = std::make_shared<Event>(Event::SILENT, peer);
            batch.push_back(std::move(event));
            it = reportedSilent.erase(it);
            continue;
        }
        ++it;
    }
    for (const auto& [uuid, peer] : network->peers()) {
        if (peer->silent && reportedSilent.insert(uuid).second) {
            auto event = std::make_shared<Event>(Event::SILENT, peer);
            event->silent = true;
            batch.push_back(std::move(event));
        }
    }
}

void SiteNode::deliver()
{
    if (batch.empty())
        return;
    std::vector<std::shared_ptr<Event>> events;
    events.swap(batch);
    // Requests completed by the sink wake their waiters after the GIL is
    // released (destruction runs in reverse order).
    Completions::Deferral deferral;
    py::gil_scoped_acquire gil;
    try {
        py::list list;
        for (const auto& event : events) {
            const Peer& peer = *event->peer;
            switch (event->kind) {
                case Event::ENTER:
                    list.append(py::make_tuple("enter", event->uuid, peerText(peer.name), peerText(peer.type),
                                               peer.client, peerText(peer.address), peerText(peer.identity)));
                    break;
                case Event::INFO: {
                    py::tuple description = describePeer(peer);
                    list.append(py::make_tuple("info", event->uuid, peerText(peer.name), description[0], description[1],
                                               description[2], peer.status));
                    break;
                }
                case Event::EXIT:
                    list.append(py::make_tuple("exit", event->uuid));
                    break;
                case Event::PROPERTY:
                    list.append(py::make_tuple(
                        "property", event->uuid, peerText(event->property.name), propertyValue(event->property),
                        secondsSinceEpoch(event->property.timestamp), sentTime(event->property)));
                    break;
                case Event::STATUS:
                    list.append(py::make_tuple("status", event->uuid, event->status));
                    break;
                case Event::REFUSED: {
                    py::list args;
                    for (const auto& arg : event->echoedArgs)
                        args.append(peerText(arg));
                    list.append(py::make_tuple("refused", event->uuid, event->refusedKind, peerText(event->refusedName),
                                               peerText(event->reason), args));
                } break;
                case Event::SILENT:
                    list.append(py::make_tuple("silent", event->uuid, event->silent));
                    break;
                case Event::APPLIED:
                    list.append(py::make_tuple("applied", event->uuid, peerText(event->refusedName)));
                    break;
                case Event::IMAGE: {
                    py::object failure =
                        event->refusedKind.empty() ? py::object(py::none()) : py::object(py::str(event->refusedKind));
                    py::object path = event->path.empty() ? py::object(py::none()) : py::object(py::str(event->path));
                    py::object data = event->refusedKind.empty() && event->path.empty()
                                          ? py::object(py::bytes(event->data))
                                          : py::object(py::none());
                    event->data.clear();
                    list.append(py::make_tuple("image", event->transfer, failure, peerText(event->reason), path, data,
                                               peerText(event->imageName), event->imageSize, event->resumed));
                } break;
                case Event::READY: {
                    const auto& r = event->ready;
                    list.append(py::make_tuple("ready", event->uuid, peerText(r.name()), r.size(), r.width(),
                                               r.height(), r.datatype(), peerText(r.sha1()),
                                               peerText(r.exposure_start()), r.exposure_length(), peerText(r.saved()),
                                               event->time));
                } break;
                case Event::CHUNKS: {
                    py::list chunks;
                    for (const auto& chunk : event->chunks)
                        chunks.append(py::bytes(chunk));
                    list.append(py::make_tuple("chunks", event->transfer, chunks, peerText(event->imageName),
                                               event->imageSize));
                } break;
                case Event::LOG: {
                    const auto& ts = event->log.timestamp();
                    double time = static_cast<double>(ts.seconds()) + ts.nanos() * 1e-9;
                    list.append(py::make_tuple("log", event->uuid, time, peerText(event->log.logger()),
                                               static_cast<int>(event->log.level()), peerText(event->log.message())));
                    break;
                }
            }
        }
        sink->get()(list);
    } catch (py::error_already_set& e) {
        std::cerr << "corvo: site event handler: " << describePythonError(e) << std::endl;
    }
}

void SiteNode::onEnter(std::shared_ptr<Peer> peer)
{
    batch.push_back(std::make_shared<Event>(Event::ENTER, peer));
}

void SiteNode::onExit(std::shared_ptr<Peer> peer)
{
    for (auto it = fetches.begin(); it != fetches.end();) {
        auto next = std::next(it);
        if (it->second->camera()->uuid == peer->uuid) {
            it->second->peerLeft();
            reportFetch(it);
        }
        it = next;
    }
    batch.push_back(std::make_shared<Event>(Event::EXIT, peer));
}

void SiteNode::onInfo(std::shared_ptr<Peer> peer)
{
    batch.push_back(std::make_shared<Event>(Event::INFO, peer));
}

void SiteNode::onProperty(std::shared_ptr<Peer> peer, const Property& property)
{
    auto event = std::make_shared<Event>(Event::PROPERTY, peer);
    event->property = property;
    batch.push_back(std::move(event));
}

void SiteNode::onStatus(std::shared_ptr<Peer> peer, unsigned int status)
{
    auto event = std::make_shared<Event>(Event::STATUS, peer);
    event->status = status;
    batch.push_back(std::move(event));
}

void SiteNode::onLog(std::shared_ptr<Peer> peer, const corvo::proto::Log& log)
{
    auto event = std::make_shared<Event>(Event::LOG, peer);
    event->log = log;
    batch.push_back(std::move(event));
}

void loadSecurity(SiteOptions& options, const std::string& key, const std::string& keys)
{
    KeyDirectory directory(keys.empty() ? KeyDirectory::defaultPath() : keys);
    options.keyPair = KeyDirectory::readSecret(directory.secretPath(key));
    std::vector<std::string> problems;
    options.trusted = directory.identities(&problems);
    options.keyDirectory = directory.path();
    for (const auto& problem : problems)
        std::cerr << "corvo: key directory: " << problem << std::endl;
}

void SiteNode::onResponse(std::shared_ptr<Peer> peer, const corvo::proto::Response& response)
{
    // A camera's refusal of one of our fetches; a daemon's own command that
    // happens to be called "image" is answered as any other.
    if (response.has_command() && response.command().cmd_name() == kImageRefusalCommand) {
        for (auto it = fetches.begin(); it != fetches.end(); ++it) {
            if (it->second->camera()->uuid == peer->uuid && it->second->handleResponse(response)) {
                reportFetch(it);
                return;
            }
        }
    }
    if (response.error().empty()) {
        if (!response.has_property_data())
            return;
        auto event = std::make_shared<Event>(Event::APPLIED, peer);
        event->refusedName = response.property_data().name();
        batch.push_back(std::move(event));
        return;
    }
    auto event = std::make_shared<Event>(Event::REFUSED, peer);
    if (response.has_property_data()) {
        event->refusedKind = "property";
        event->refusedName = response.property_data().name();
    } else if (response.has_command()) {
        event->refusedKind = "command";
        event->refusedName = response.command().cmd_name();
        event->echoedArgs.assign(response.command().args().begin(), response.command().args().end());
    } else {
        return;  // answers nothing this node could have asked
    }
    event->reason = response.error();
    batch.push_back(std::move(event));
}

std::string SiteNode::startFetch(const std::string& peerUuid, const ImageFetch::Request& request)
{
    auto peer = findPeer(peerUuid);
    if (!peer)
        return "no peer " + request.camera + " on the site";
    if (fetches.size() >= kMaxFetches)
        return "too many image fetches at once (at most " + std::to_string(kMaxFetches) + ")";
    if (fetches.count(request.transfer))
        return "transfer number already in use";
    if (request.mode == ImageFetch::Mode::MEMORY && request.maxBytes == 0)
        return "a fetch into memory needs a size bound";
    auto fetch = std::make_unique<ImageFetch>(request, peer);
    if (fetch->failed())
        return fetch->error();
    whisper(fetch->request(), peer);
    fetches.emplace(request.transfer, std::move(fetch));
    return std::string();
}

void SiteNode::cancelFetch(uint64_t transfer)
{
    auto it = fetches.find(transfer);
    if (it == fetches.end())
        return;
    if (zmsg_t* cancel = it->second->cancel())
        whisper(cancel, it->second->camera());
    fetches.erase(it);
}

void SiteNode::fetchConsumed(uint64_t transfer, uint64_t bytes)
{
    auto it = fetches.find(transfer);
    if (it == fetches.end())
        return;
    for (zmsg_t* credit : it->second->consumed(bytes))
        whisper(credit, it->second->camera());
}

void SiteNode::onImageMessage(std::shared_ptr<Peer> peer, uint8_t tag, const unsigned char* data, size_t size)
{
    if (tag == MSG_IMAGE_READY) {
        auto event = std::make_shared<Event>(Event::READY, peer);
        std::string problem;
        if (!parseImageReady(data, size, event->ready, problem))
            return;  // a malformed announcement names nothing to fetch
        event->time = secondsSinceEpoch(std::chrono::system_clock::now());
        batch.push_back(std::move(event));
        return;
    }
    // Chunks and ends of our fetches; requests and credit are a camera's business.
    for (auto it = fetches.begin(); it != fetches.end(); ++it) {
        if (it->second->camera()->uuid != peer->uuid)
            continue;
        bool ignored = true;
        zmsg_t* credit = it->second->handle(tag, data, size, ignored);
        if (ignored)
            continue;
        if (credit)
            whisper(credit, peer);
        reportFetch(it);
        return;
    }
}

void SiteNode::idle()
{
    if (fetches.empty())
        return;
    auto now = ImageFetch::Clock::now();
    for (auto it = fetches.begin(); it != fetches.end();) {
        auto next = std::next(it);
        if (it->second->timedOut(now))
            reportFetch(it);
        it = next;
    }
    deliver();
}

void SiteNode::reportFetch(std::map<uint64_t, std::unique_ptr<ImageFetch>>::iterator it)
{
    ImageFetch& fetch = *it->second;
    auto chunks = fetch.takeChunks();
    if (!chunks.empty()) {
        auto event = std::make_shared<Event>(Event::CHUNKS, fetch.camera());
        event->transfer = fetch.transfer();
        event->imageName = fetch.imageName();
        event->imageSize = fetch.size();
        event->chunks = std::move(chunks);
        batch.push_back(std::move(event));
    }
    if (fetch.running())
        return;
    auto event = std::make_shared<Event>(Event::IMAGE, fetch.camera());
    event->transfer = fetch.transfer();
    event->imageName = fetch.imageName();
    event->imageSize = fetch.size();
    event->resumed = fetch.resumedFrom();
    if (fetch.failed()) {
        if (fetch.errorKind() != "refused")
            whisper(fetch.stopMessage(), fetch.camera());
        event->refusedKind = fetch.errorKind();
        event->reason = fetch.error();
    } else {
        event->path = fetch.writtenPath();
        event->data = fetch.takeBytes();
    }
    batch.push_back(std::move(event));
    fetches.erase(it);
}

void SiteNode::whisper(zmsg_t* message, const std::shared_ptr<Peer>& to)
{
    if (!message)
        return;
    if (network && network->peers().byUuid(to->uuid))
        network->sendOne(message, to);
    else
        zmsg_destroy(&message);
}

py::tuple describePeer(const Peer& peer)
{
    py::dict properties;
    for (const auto& [name, property] : peer.properties) {
        py::dict choices;
        for (const auto& [value, text] : property.choices)
            choices[py::int_(value)] = peerText(text);
        properties[peerText(name)] =
            py::make_tuple(typeName(property.type), propertyValue(property), peerText(property.egu),
                           peerText(property.description), property.writable, limitsOf(property), choices);
    }
    py::dict commands;
    for (const auto& [name, def] : peer.commands) {
        py::list args;
        for (const auto& arg : def.args)
            args.append(py::make_tuple(peerText(arg.name), argTypeName(arg.type)));
        commands[peerText(name)] = py::make_tuple(peerText(def.description), args);
    }
    py::dict statuses;
    for (const auto& [value, text] : peer.statusNames)
        statuses[py::int_(value)] = peerText(text);
    return py::make_tuple(properties, commands, statuses);
}

}  // namespace corvo::python
