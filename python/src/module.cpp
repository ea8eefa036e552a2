// corvo._corvo: the C++ half of the Python package. Every object here lives
// on the package's loop thread; the methods carry each call there and never
// wait for it while holding the GIL.
#include <algorithm>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <signal.h>
#include <spdlog/common.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "completions.h"
#include "daemon_host.h"
#include "image_io.h"
#include "loop_thread.h"
#include "site_node.h"

namespace py = pybind11;
using corvo::Property;
using corvo::python::DaemonHost;
using corvo::python::LoopThread;
using corvo::python::SiteNode;
using corvo::python::SiteOptions;
using corvo::python::TypedValue;

namespace {

// Runs `task` on the loop thread with the GIL released while waiting.
void callOnLoop(const LoopThread::Task& task)
{
    LoopThread& loop = LoopThread::instance();
    loop.refuseInForkedChild();
    if (loop.onLoopThread()) {
        task();
        return;
    }
    py::gil_scoped_release release;
    loop.call(task);
}

// Queues `task` without waiting (in order with every other call); runs it at
// once on the loop thread.
void postToLoop(LoopThread::Task task)
{
    LoopThread& loop = LoopThread::instance();
    loop.refuseInForkedChild();
    if (loop.onLoopThread()) {
        task();
        return;
    }
    if (!loop.post(std::move(task)))
        throw std::runtime_error("the library's loop thread is not accepting calls (stopped or overloaded)");
}

// A signal during a daemon's shutdown (after the one that began it): the
// process ends at once, by that signal, without cleanup. Python's own
// handlers would wait for the main thread, which may be waiting for a
// handler stuck on a device. Async-signal-safe calls only.
extern "C" void endBySecondSignal(int signum)
{
    static const char text[] = "corvo: a second signal during the shutdown: exiting without cleanup\n";
    ssize_t written = write(STDERR_FILENO, text, sizeof text - 1);
    (void)written;
    signal(signum, SIG_DFL);
    raise(signum);
}

void endBySignals(const std::vector<int>& signums)
{
    struct sigaction action = {};
    action.sa_handler = endBySecondSignal;
    sigemptyset(&action.sa_mask);
    for (int signum : signums)
        if (sigaction(signum, &action, nullptr) != 0)
            throw py::value_error("cannot handle signal " + std::to_string(signum));
}

Property::Type propertyType(int code)
{
    switch (code) {
        case Property::INT:
        case Property::DOUBLE:
        case Property::STRING:
        case Property::INT_LIST:
        case Property::DOUBLE_LIST:
        case Property::STR_LIST:
            return static_cast<Property::Type>(code);
        default:
            throw py::value_error("unknown property type code " + std::to_string(code));
    }
}

// Throws std::invalid_argument (WrongValueError) when `value` is beyond what
// peers accept of property `name` (a string or list bound): such a value
// would never be published. Touches only a detached property, so it runs on
// any thread.
void checkPublishable(const std::string& name, Property::Type type, const TypedValue& value)
{
    if (type != Property::STRING && type != Property::STR_LIST && type != Property::INT_LIST &&
        type != Property::DOUBLE_LIST)
        return;
    Property probe(name, type, "", false, nullptr);
    value.assignTo(probe, false);
    std::string violation = corvo::boundsViolation(probe.serialize());
    if (!violation.empty())
        throw std::invalid_argument("property " + name + ": " + violation);
}

// The Python face of a site node. Dropping it closes the node on the loop
// thread without waiting.
class SiteHandle {
public:
    SiteHandle(const SiteOptions& options, py::object sink) : node(std::make_shared<SiteNode>(options, std::move(sink)))
    {
        auto started = node;
        try {
            callOnLoop([started] { started->start(); });
        } catch (...) {
            dropNode();
            throw;
        }
    }
    ~SiteHandle() { dropNode(); }

    std::string uuid() const { return node ? node->uuid() : std::string(); }

    void close()
    {
        if (!node)
            return;
        auto closing = std::move(node);
        callOnLoop([closing] { closing->close(); });
        releaseOnLoop(std::move(closing));
    }

    void change(const std::string& peerUuid, const std::string& name, int type, py::handle value)
    {
        auto sending = live();
        auto typed = std::make_shared<TypedValue>(propertyType(type), value);
        postToLoop([sending, peerUuid, name, typed] { sending->changeProperty(peerUuid, name, *typed); });
    }

    void command(const std::string& peerUuid, const std::vector<std::string>& words)
    {
        auto sending = live();
        postToLoop([sending, peerUuid, words] { sending->sendCommand(peerUuid, words); });
    }

    // Starts a fetch on the loop thread; the reason it cannot start, or "".
    std::string fetchImage(const std::string& peerUuid, uint64_t transfer, const std::string& camera,
                           const std::string& name, int mode, const std::string& path, double timeout,
                           uint64_t maxBytes, bool compress)
    {
        if (mode < 0 || mode > 2)
            throw py::value_error("unknown fetch mode " + std::to_string(mode));
        corvo::python::ImageFetch::Request request;
        request.transfer = transfer;
        request.camera = camera;
        request.name = name;
        request.mode = static_cast<corvo::python::ImageFetch::Mode>(mode);
        request.path = path;
        request.timeoutSeconds = timeout;
        request.maxBytes = maxBytes;
        request.compression = compress ? corvo::kImageZstd : "";
        auto target = live();
        std::string refusal;
        callOnLoop([&] { refusal = target->startFetch(peerUuid, request); });
        return refusal;
    }

    void cancelImage(uint64_t transfer)
    {
        if (!node)
            return;
        auto target = node;
        postToLoop([target, transfer] { target->cancelFetch(transfer); });
    }

    void imageConsumed(uint64_t transfer, uint64_t bytes)
    {
        auto target = live();
        postToLoop([target, transfer, bytes] { target->fetchConsumed(transfer, bytes); });
    }

    void receiveLogs(bool on)
    {
        auto target = live();
        postToLoop([target, on] { target->receiveLogs(on); });
    }

private:
    std::shared_ptr<SiteNode> live() const
    {
        if (!node)
            throw std::runtime_error("the site has been closed");
        return node;
    }

    // The last reference is dropped on the loop thread, where the node lives.
    static void releaseOnLoop(std::shared_ptr<SiteNode> last)
    {
        auto* holder = new std::shared_ptr<SiteNode>(std::move(last));
        if (LoopThread::instance().forkedChild())
            return;  // the parent's node: never touched here (nor freed)
        if (!LoopThread::instance().post([holder] {
                (*holder)->close();
                delete holder;
            })) {
            delete holder;  // the loop has ended: nothing runs any more
        }
    }

    void dropNode()
    {
        if (node)
            releaseOnLoop(std::move(node));
    }

    std::shared_ptr<SiteNode> node;
};

// A Site's discovery: the configuration entries of `name` (network.conf
// alone without a name), then the arguments that are not None. A bad
// endpoint raises ValueError (std::invalid_argument).
corvo::DiscoveryOptions discoveryOptions(const std::string& name, const py::object& gossip,
                                         const py::object& gossipBind, const py::object& beacon)
{
    corvo::DiscoveryOptions options = corvo::readDiscoveryConfig(name);
    std::unordered_map<std::string, std::string> given;
    if (py::isinstance<py::str>(gossip)) {
        given["gossip"] = gossip.cast<std::string>();
    } else if (!gossip.is_none()) {
        std::string list;
        for (const auto& endpoint : gossip.cast<std::vector<std::string>>())
            list += (list.empty() ? "" : ",") + endpoint;
        given["gossip"] = list;
    }
    if (!gossipBind.is_none())
        given["gossip-bind"] = gossipBind.cast<std::string>();
    corvo::applyDiscoveryEntries(options, given);
    if (!beacon.is_none())
        options.beacon = beacon.cast<bool>();
    if (!options.findsPeers())
        throw py::value_error("beacon=False needs gossip or gossip_bind: no peer could be found");
    return options;
}

// A secured rendezvous point is named by a trusted identity (its key comes
// from the key directory); as the programs do, an unknown one is an error.
void checkGossipIdentities(const SiteOptions& options)
{
    for (const std::string& entry : options.discovery.gossipConnect) {
        std::string identity = corvo::splitGossipIdentity(entry).identity;
        bool trusted = std::any_of(options.trusted.begin(), options.trusted.end(),
                                   [&](const corvo::Identity& known) { return known.name == identity; });
        if (!identity.empty() && !trusted)
            throw py::value_error("gossip endpoint " + entry + ": " + identity +
                                  " is no trusted identity (a secured rendezvous point needs key= and its "
                                  "identity in the key directory)");
    }
}

}  // namespace

PYBIND11_MODULE(_corvo, m)
{
    m.doc() = "C++ core of the corvo package (use the corvo package, not this module)";

    // Every error of the library reaches Python as the package's CorvoError
    // (a key that cannot be used, a node that cannot start, a call after
    // shutdown); type and value errors as its subclasses that are also the
    // built-in ones. Python's own errors and MemoryError pass unchanged.
    py::register_exception_translator([](std::exception_ptr error) {
        auto raise = [](const char* kind, const char* text) {
            py::object type = py::module_::import("corvo._errors").attr(kind);
            PyErr_SetString(type.ptr(), text);
        };
        try {
            if (error)
                std::rethrow_exception(error);
        } catch (const py::error_already_set&) {
            throw;
        } catch (const std::bad_alloc&) {
            throw;
        } catch (const py::type_error& e) {
            raise("WrongTypeError", e.what());
        } catch (const py::value_error& e) {
            raise("WrongValueError", e.what());
        } catch (const py::builtin_exception&) {
            throw;
        } catch (const std::invalid_argument& e) {
            raise("WrongValueError", e.what());
        } catch (const std::exception& e) {
            raise("CorvoError", e.what());
        }
    });

    m.def("loop_running", [] { return true; });
    m.def("loop_started", &LoopThread::started);
    m.def("end_by_signals", &endBySignals, py::arg("signums"));
    m.def("shutdown", [] {
        py::gil_scoped_release release;
        LoopThread::instance().shutdown();
    });
    using corvo::python::Completions;
    m.def("completion_generation", [] { return Completions::instance().generation(); });
    m.def(
        "wait_completion", [](uint64_t seen, double seconds) { return Completions::instance().wait(seen, seconds); },
        py::call_guard<py::gil_scoped_release>());
    m.def("completed", [] { Completions::instance().completed(); });
    m.def("on_loop_thread", [] { return LoopThread::instance().onLoopThread(); });
    m.attr("MAX_PENDING_CALLS") = LoopThread::kMaxPendingTasks;
    m.attr("MAX_EVENT_BATCH") = SiteNode::kMaxBatch;
    m.attr("MAX_IMAGE_FETCHES") = SiteNode::kMaxFetches;

    py::class_<SiteHandle>(m, "SiteNode")
        .def(py::init([](const std::string& site, int port, const std::string& interface, const std::string& name,
                         py::object sink, const std::string& key, const std::string& keys, py::object gossip,
                         py::object gossipBind, py::object beacon) {
                 SiteOptions options;
                 options.discovery = discoveryOptions(name, gossip, gossipBind, beacon);
                 options.site = site;
                 options.port = port;
                 options.interface = interface;
                 options.name = name;
                 if (!key.empty())
                     corvo::python::loadSecurity(options, key, keys);
                 else if (!keys.empty())
                     throw py::value_error("keys needs key (the program's own identity)");
                 checkGossipIdentities(options);
                 return std::make_unique<SiteHandle>(options, std::move(sink));
             }),
             py::arg("site"), py::arg("port"), py::arg("interface"), py::arg("name"), py::arg("sink"),
             py::arg("key") = "", py::arg("keys") = "", py::arg("gossip") = py::none(),
             py::arg("gossip_bind") = py::none(), py::arg("beacon") = py::none())
        .def_property_readonly("uuid", &SiteHandle::uuid)
        .def("close", &SiteHandle::close)
        .def("change", &SiteHandle::change)
        .def("command", &SiteHandle::command)
        .def("receive_logs", &SiteHandle::receiveLogs)
        .def("fetch_image", &SiteHandle::fetchImage, py::arg("peer_uuid"), py::arg("transfer"), py::arg("camera"),
             py::arg("name"), py::arg("mode"), py::arg("path"), py::arg("timeout"), py::arg("max_bytes"),
             py::arg("compress") = false)
        .def("cancel_image", &SiteHandle::cancelImage)
        .def("image_consumed", &SiteHandle::imageConsumed);

    py::class_<DaemonHost, std::shared_ptr<DaemonHost>>(m, "DaemonHost")
        .def(py::init<std::string>())
        .def("declare_property",
             [](DaemonHost& host, const std::string& name, int type, const std::string& unit,
                const std::string& description, bool writable, py::object limits, py::dict choices,
                py::object initial) {
                 host.declareProperty(name, propertyType(type), unit, description, writable, std::move(limits),
                                      std::move(choices), std::move(initial));
             })
        .def("declare_command", &DaemonHost::declareCommand)
        .def("declare_status", &DaemonHost::declareStatus)
        .def("mark_safety_command", &DaemonHost::markSafetyCommand)
        .def("set_change_handler", &DaemonHost::setChangeHandler)
        .def("parse_command_line", &DaemonHost::parseCommandLine, py::call_guard<py::gil_scoped_release>())
        .def("daemonize", &DaemonHost::daemonize, py::call_guard<py::gil_scoped_release>())
        .def_property_readonly("name", &DaemonHost::componentName)
        .def_property_readonly("site", &DaemonHost::siteName)
        .def("start", [](std::shared_ptr<DaemonHost> host) { callOnLoop([host] { host->start(); }); })
        .def("shutdown", [](std::shared_ptr<DaemonHost> host) { callOnLoop([host] { host->shutdown(); }); })
        .def("values",
             [](std::shared_ptr<DaemonHost> host, const std::vector<std::string>& names) {
                 // Read on the loop thread, converted here with the GIL.
                 std::vector<std::shared_ptr<Property>> copies;
                 callOnLoop([&] {
                     for (const auto& name : names) {
                         auto property = host->getProperty(name);
                         copies.push_back(property ? std::make_shared<Property>(*property) : nullptr);
                     }
                 });
                 py::dict values;
                 for (size_t i = 0; i < names.size(); ++i)
                     values[py::str(names[i])] =
                         copies[i] ? corvo::python::propertyValue(*copies[i]) : py::object(py::none());
                 return values;
             })
        .def("set_value",
             [](std::shared_ptr<DaemonHost> host, const std::string& name, int type, py::handle value) {
                 auto typed = std::make_shared<TypedValue>(propertyType(type), value);
                 // Checked here, on the caller's thread, so that the caller
                 // learns of the refusal (a task on the loop thread could
                 // only print it).
                 checkPublishable(name, propertyType(type), *typed);
                 postToLoop([host, name, typed] { host->setValue(name, *typed); });
             })
        .def(
            "refuse_property",
            [](std::shared_ptr<DaemonHost> host, const std::string& peerUuid, const std::string& name,
               const std::string& reason, uint64_t ticket) {
                postToLoop(
                    [host, peerUuid, name, reason, ticket] { host->refusePropertyTo(peerUuid, name, reason, ticket); });
            },
            py::arg("peer_uuid"), py::arg("name"), py::arg("reason"), py::arg("ticket") = 0)
        .def("refuse_command",
             [](std::shared_ptr<DaemonHost> host, const std::string& peerUuid, const std::vector<std::string>& words,
                const std::string& reason) {
                 postToLoop([host, peerUuid, words, reason] { host->refuseCommandTo(peerUuid, words, reason); });
             })
        .def("change_applied", [](std::shared_ptr<DaemonHost> host,
                                  uint64_t ticket) { postToLoop([host, ticket] { host->changeApplied(ticket); }); })
        .def("change_failed",
             [](std::shared_ptr<DaemonHost> host, uint64_t ticket, const std::string& reason) {
                 postToLoop([host, ticket, reason] { host->changeFailed(ticket, reason); });
             })
        .def("set_status", [](std::shared_ptr<DaemonHost> host,
                              unsigned int value) { postToLoop([host, value] { host->setStatus(value); }); })
        .def("log", [](std::shared_ptr<DaemonHost> host, int level,
                       const std::string& text) { postToLoop([host, level, text] { host->log(level, text); }); })
        .def("save_image", [](std::shared_ptr<DaemonHost> host, const std::string& path, const py::array& array,
                              const py::dict& header, const std::string& templatePath) {
            auto cards = corvo::python::headerCards(header);
            std::vector<corvo::FitsHdrItem> fromTemplate;
            if (!templatePath.empty()) {
                callOnLoop([&] { fromTemplate = host->templateCards(templatePath); });
                cards.insert(cards.begin(), fromTemplate.begin(), fromTemplate.end());
            }
            // A template card the writer refuses (a peer's NaN, a bad key)
            // is skipped and logged: it never costs the image.
            for (auto& reason : corvo::python::writeFits(path, array, cards, fromTemplate.size()))
                postToLoop([host, reason] { host->log(static_cast<int>(spdlog::level::warn), reason); });
        });

    m.def(
        "write_fits",
        [](const std::string& path, const py::array& array, const py::dict& header) {
            corvo::python::writeFits(path, array, corvo::python::headerCards(header));
        },
        py::arg("path"), py::arg("array"), py::arg("header") = py::dict());
    m.def("read_fits", &corvo::python::readFits, py::arg("path"));
}
