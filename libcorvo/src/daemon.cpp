#include "corvo/daemon.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "corvo/diagnostics.h"
#include "corvo/message.h"
#include "corvo/misc.h"
#include "corvo/peer.h"

namespace corvo {

namespace {

// Diagnostics of the library as records of a daemon's logger (console and
// the site's log group). The sink holds the logger, so it stays valid for as
// long as it can be called.
DiagnosticSink loggerSink(std::shared_ptr<spdlog::logger> log)
{
    return [log](const Diagnostic& diagnostic) {
        spdlog::level::level_enum level = spdlog::level::err;
        switch (diagnostic.level) {
            case Diagnostic::Debug:
                level = spdlog::level::debug;
                break;
            case Diagnostic::Info:
                level = spdlog::level::info;
                break;
            case Diagnostic::Warning:
                level = spdlog::level::warn;
                break;
            case Diagnostic::Error:
                level = spdlog::level::err;
                break;
        }
        log->log(level, "{}", diagnostic.text);
    };
}

int64_t nowNanoseconds()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string receivedText(const std::vector<std::string>& words)
{
    std::string text;
    for (const auto& word : words)
        text += word + " ";
    return text;
}

}  // namespace

Daemon::Daemon(std::string name) : App(std::move(name))
{
    optionParser.addSwitch("daemon", 'D', "run as daemon");
    addStatusStr(0, "IDLE");
}

Daemon::~Daemon() = default;

void Daemon::addStatusStr(int value, std::string text)
{
    auto key = static_cast<unsigned int>(value);
    if (statusList.count(key))
        throw CorvoError("Repeated status value");
    statusList.emplace(key, std::move(text));
}

void Daemon::changeStatus(unsigned int value)
{
    auto it = statusList.find(value);
    if (it == statusList.end()) {
        if (logger.logger)
            logger->error("Status value {} out of range", value);
        return;
    }
    status = value;
    if (network)
        network->sendStatus(status);
    if (logger.logger)
        logger->info("Switch to new status {}", it->second);
}

void Daemon::createProperty(std::string name, corvo::proto::Property_PropertyType type, std::string description,
                            bool writable)
{
    createProperty(std::move(name), type, "", std::move(description), writable);
}

void Daemon::createProperty(std::string name, corvo::proto::Property_PropertyType type, std::string egu,
                            std::string description, bool writable)
{
    auto property = std::make_shared<Property>(name, type, std::move(description), writable, this, std::move(egu));
    properties[name] = std::move(property);
}

void Daemon::createCommand(std::string name, std::function<void(std::vector<std::string>)> func,
                           std::string description)
{
    CommandDef& def = commands[name];
    def.name = name;
    def.description = std::move(description);
    def.func = std::move(func);
}

void Daemon::createCommand(std::string name, std::function<void(std::vector<std::string>)> func,
                           std::string description, int nargs, ...)
{
    CommandDef& def = commands[name];
    va_list ap;
    va_start(ap, nargs);
    for (int i = 0; i < nargs; ++i) {
        auto type = static_cast<ArgType>(va_arg(ap, int));
        const char* argName = va_arg(ap, const char*);
        def.args.push_back({type, argName ? argName : ""});
    }
    va_end(ap);
    createCommand(std::move(name), std::move(func), std::move(description));
}

std::shared_ptr<Property> Daemon::getProperty(const std::string& name) const
{
    auto it = properties.find(name);
    return it == properties.end() ? nullptr : it->second;
}

void Daemon::processOptions()
{
    App::processOptions();
    daemonMode = optionParser.vm["daemon"].as<bool>();
}

void Daemon::beforeInit()
{
    if (daemonMode)
        doDaemon();
    confManager.load(name);
    for (const auto& [key, value] : confManager.get(name)) {
        auto it = properties.find(key);
        if (it == properties.end())
            continue;
        // A bad value in a file must not stop the program: keep the
        // property's value and say which entry was skipped.
        try {
            it->second->setValueString(value);
        } catch (const std::exception& e) {
            diagnose(Diagnostic::Warning, Diagnostic::Stderr,
                     "Configuration " + name + ": cannot set " + key + " to \"" + value + "\": " + e.what());
        }
    }
}

void Daemon::beforeLoop()
{
    bool debug = optionParser.vm["debug"].as<bool>();
    logger.init(name, debug ? spdlog::level::debug : spdlog::level::info, network.get());
    errorReporter = [this](const std::string& text) { logger->error("{}", text); };
    diagnosticRedirect = std::make_unique<DiagnosticRedirect>(loggerSink(logger.logger));
    network->setClient(false);
    network->setType(defaultName);
    logger->info("Start looping...");
}

void Daemon::cleanup()
{
    if (logger.logger)
        logger->info("Stop and clean up");
}

void Daemon::onEnter(std::shared_ptr<Peer> peer)
{
    logger->info("Peer {} has entered", peer->name);
    sendInfo(peer);
}

void Daemon::onExit(std::shared_ptr<Peer> peer)
{
    logger->info("Peer {} has left", peer->name);
}

void Daemon::onInfo(std::shared_ptr<Peer> /*peer*/) {}

corvo::proto::Info Daemon::composeInfo() const
{
    corvo::proto::Info info;
    for (const auto& entry : properties)
        *info.add_properties() = entry.second->serialize();
    for (const auto& entry : commands) {
        const CommandDef& def = entry.second;
        auto* desc = info.add_commands();
        desc->set_cmd_name(def.name);
        desc->set_description(def.description);
        for (const auto& arg : def.args) {
            auto* argDesc = desc->add_args();
            argDesc->set_type(static_cast<corvo::proto::ArgDesc_ArgType>(arg.type));
            argDesc->set_argname(arg.name);
        }
    }
    for (const auto& entry : statusList) {
        auto* meta = info.add_status_list();
        meta->set_status(entry.first);
        meta->set_text(entry.second);
    }
    info.set_status(status);
    return info;
}

void Daemon::sendInfo(std::shared_ptr<Peer> peer)
{
    network->sendOne(ProtobufToZMsg(composeInfo()), std::move(peer));
}

void Daemon::onCommand(std::shared_ptr<Peer> /*peer*/, const corvo::proto::Command& command)
{
    std::vector<std::string> words = extractCommandPB(command);
    auto it = commands.find(words[0]);
    if (it != commands.end()) {
        // A copy, so that a function that changes the command table does not
        // pull the running definition from under itself.
        CommandDef def = it->second;
        try {
            if (words.size() - 1 != def.args.size())
                throw CorvoArgError();
            def.func(std::vector<std::string>(words.begin() + 1, words.end()));
            return;
        } catch (const CorvoArgError&) {
            // reported below
        }
    }
    logger->error("Wrong argument. Received: {}", receivedText(words));
}

void Daemon::onPropertyCommand(std::shared_ptr<Peer> peer, const corvo::proto::PropertyChange& change)
{
    auto it = properties.find(change.name());
    if (it == properties.end())
        return;
    std::shared_ptr<Property> property = it->second;
    if (!property->writable)
        return;

    int64_t sent = change.has_send_ts() ? change.send_ts().seconds() * 1000000000LL + change.send_ts().nanos() : 0;
    int64_t delayUs = (nowNanoseconds() - sent) / 1000;
    diagnose(Diagnostic::Info, Diagnostic::Stderr,
             "onPropertyCommand: " + peer->name + ", delayus: " + std::to_string(delayUs) +
                 ", msg: " + change.ShortDebugString());

    corvo::proto::PropertyChange request = change;
    property->updateFromPB(request);
    property->sendProperty();
}

void Daemon::doDaemon()
{
    // Nothing buffered may be written twice, once by each process.
    std::cout.flush();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        diagnose(Diagnostic::Error, Diagnostic::Stderr, "Fail to fork");
        std::exit(1);
    }
    if (pid > 0)
        std::exit(0);

    if (setsid() == -1)
        diagnose(Diagnostic::Warning, Diagnostic::Stderr,
                 "failed to become a session leader whiledaemonising(errno=" + std::to_string(errno) + ")");
    signal(SIGHUP, SIG_IGN);

    std::cerr.flush();
    std::fflush(nullptr);
    pid = fork();
    if (pid < 0) {
        diagnose(Diagnostic::Error, Diagnostic::Stderr, "Fail to fork");
        std::exit(1);
    }
    if (pid > 0)
        std::exit(0);

    diagnose(Diagnostic::Info, Diagnostic::Stdout, "Fork to background");
    int fd = open("/dev/null", O_RDWR);
    dup2(fd, STDIN_FILENO);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    if (fd > 2)
        close(fd);
    if (chdir("/") != 0) {
        // the working directory stays; nothing depends on it
    }
}

}  // namespace corvo
