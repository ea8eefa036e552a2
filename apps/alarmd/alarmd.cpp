// The alarm daemon: feeds the site's events to the engine, then logs each
// transition, runs actions, notifies, publishes and saves the states.
#include "alarmd.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <corvo/peer.h>

#include "persist.h"

namespace corvo::alarmd {

namespace {

using Steady = std::chrono::steady_clock;

constexpr auto kTickEvery = std::chrono::milliseconds(100);
constexpr auto kPublishEvery = std::chrono::milliseconds(5);
// What did not fit a broadcast's budget follows at this pace, not every turn.
constexpr auto kBacklogEvery = std::chrono::milliseconds(100);
constexpr auto kListEvery = std::chrono::seconds(1);
constexpr auto kSaveEvery = std::chrono::milliseconds(500);
// An action's peer is looked for again after this; a command that no
// refusal answered within kConfirmSeconds counts as done (daemons confirm
// nothing).
constexpr double kRetrySeconds = 2.0;
constexpr double kConfirmSeconds = 2.0;
// A change of the wall clock against now() beyond this is a step (NTP, an
// operator): times shown and saved follow it. Below it they stay the same
// text, so that the state file is not written again for nothing.
constexpr double kClockStepSeconds = 1.0;

void makeParents(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        mkdir(path.substr(0, slash).c_str(), 0755);
}

Observation observation(const Property& property)
{
    Observation o;
    switch (property.type) {
        case Property::INT:
            o.numeric = true;
            o.number = static_cast<double>(property.intValue);
            // A text rule compares the choice's label, as every tool shows
            // the value; a rule on the number is a numeric one.
            o.text = property.toString().substr(0, kMaxShownValueBytes);
            break;
        case Property::DOUBLE:
            o.numeric = true;
            o.number = property.doubleValue;
            o.text = numberText(property.doubleValue);
            break;
        case Property::STRING: {
            o.text = property.strValue.substr(0, kMaxShownValueBytes);
            char* end = nullptr;
            double v = std::strtod(property.strValue.c_str(), &end);
            o.numeric = !property.strValue.empty() && *end == '\0' && std::isfinite(v);
            o.number = v;
            break;
        }
        default:
            o.text = property.toString().substr(0, kMaxShownValueBytes);
    }
    return o;
}

std::string joined(const std::vector<std::string>& words)
{
    std::string out;
    for (const auto& w : words)
        out += (out.empty() ? "" : " ") + w;
    return out;
}

}  // namespace

Alarmd::Alarmd() : Daemon("alarmd")
{
    optionParser.addOption<std::string>("alarms", 0, "alarm rules file (see the corvo-alarmd README)");
    optionParser.addOption<std::string>("state", 0, "file that keeps acks, shelves and disables");
    declareInterface();
}

void Alarmd::declareInterface()
{
    createProperty("alarms", Property::STR_LIST,
                   "every rule that is not normal, one JSON object each (rule, state, severity, value, since, "
                   "guidance, actions)",
                   false);
    createProperty("changes", Property::STR_LIST,
                   "the rules whose state changed since the last broadcast, one JSON object each (as in alarms)",
                   false);
    createProperty("rules", Property::INT, "rules loaded", false);
    createProperty("major", Property::INT, "major alarms raised (unacknowledged, acknowledged or latched)", false);
    createProperty("minor", Property::INT, "minor alarms raised (unacknowledged, acknowledged or latched)", false);
    createProperty("unacked", Property::INT, "alarms not acknowledged", false);
    createProperty("shelved", Property::INT, "rules shelved", false);
    createProperty("disabled", Property::INT, "rules disabled", false);
    addStatusStr(STATUS_MINOR, "MINOR");
    addStatusStr(STATUS_MAJOR, "MAJOR");
    createCommand(
        "ack",
        [this](std::vector<std::string> a) {
            operatorCommand([&](const std::string& by) { return engine->ack(a[0], by, now()); });
        },
        "acknowledge alarms (RULE: a name or a shell pattern)", 1, ARG_STRING, "rule");
    createCommand(
        "shelve",
        [this](std::vector<std::string> a) {
            double seconds = 0;
            if (!parseDurationText(a[1], seconds))
                return operatorCommand([&](const std::string&) { return "bad duration \"" + a[1] + "\""; });
            operatorCommand([&](const std::string& by) { return engine->shelve(a[0], seconds, a[2], by, now()); });
        },
        "suppress a rule until DURATION has passed (at most the configured maximum)", 3, ARG_STRING, "rule", ARG_STRING,
        "duration", ARG_STRING, "reason");
    createCommand(
        "unshelve",
        [this](std::vector<std::string> a) {
            operatorCommand([&](const std::string& by) { return engine->unshelve(a[0], by, now()); });
        },
        "end a shelve now", 1, ARG_STRING, "rule");
    createCommand(
        "disable",
        [this](std::vector<std::string> a) {
            operatorCommand([&](const std::string& by) { return engine->disable(a[0], "", by, now()); });
        },
        "take rules out of service (maintenance)", 1, ARG_STRING, "rule");
    createCommand(
        "enable",
        [this](std::vector<std::string> a) {
            operatorCommand([&](const std::string& by) { return engine->enable(a[0], by, now()); });
        },
        "put disabled rules back in service", 1, ARG_STRING, "rule");
}

double Alarmd::wallNow()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double Alarmd::now()
{
    // Unix seconds read once, then advanced by the monotonic clock: a step
    // of the wall clock (NTP at boot, an operator) moves no delay, timer or
    // retry. The engine turns the times it shows and saves into wall times
    // with wallAhead.
    static const auto steadyAtStart = Steady::now();
    static const double wallAtStart = wallNow();
    return wallAtStart + std::chrono::duration<double>(Steady::now() - steadyAtStart).count();
}

void Alarmd::followWallClock()
{
    double ahead = wallNow() - now();
    if (std::abs(ahead - wallAhead) <= kClockStepSeconds)
        return;
    logger->info("The wall clock stepped by {:.0f} s: alarm times shown and saved follow it", ahead - wallAhead);
    wallAhead = ahead;
    // Every time shown changed: the rules not normal are published again
    // (and so saved again).
    for (size_t i = 0; i < engine->rules().size(); ++i)
        if (engine->state(i).state != State::Normal)
            engine->markChanged(i);
}

std::string Alarmd::configValue(const std::string& option, const std::string& fallback)
{
    const auto& vm = optionParser.vm;
    if (vm.count(option))
        return vm[option].as<std::string>();
    return confManager.get(name, option, fallback);
}

void Alarmd::beforeInit()
{
    // Read before going to the background, so that a bad file reaches the
    // terminal and stops the start.
    confManager.load(name);
    rulesPath = configValue("alarms", "");
    statePath = configValue("state", defaultStatePath());
    // The background process works from "/".
    if (!statePath.empty() && statePath[0] != '/') {
        char* cwd = getcwd(nullptr, 0);
        if (cwd) {
            statePath = std::string(cwd) + "/" + statePath;
            std::free(cwd);
        }
    }
    loadRules();
    restoreState();
    Daemon::beforeInit();
}

void Alarmd::loadRules()
{
    if (rulesPath.empty()) {
        std::cerr << "corvo-alarmd: no rules file: give --alarms FILE (or \"alarms = FILE\" in alarmd.conf)"
                  << std::endl;
        std::exit(1);
    }
    try {
        RuleSet set = corvo::alarmd::loadRules(rulesPath);
        episodes.assign(set.rules.size(), 0);
        wallAhead = wallNow() - now();
        engine = std::make_unique<Engine>(std::move(set), now(), [this] { return wallAhead; });
    } catch (const RulesError& e) {
        std::cerr << "corvo-alarmd: " << e.what() << std::endl;
        std::exit(1);
    }
}

void Alarmd::restoreState()
{
    std::string error;
    bool missing = false;
    std::string text = readStateFile(statePath, error, missing);
    size_t skipped = 0;
    std::vector<SavedState> saved;
    if (error.empty()) {
        saved = parseState(text, skipped);
        if (skipped)
            error = statePath + ": " + std::to_string(skipped) + " lines could not be read";
    }
    if (!error.empty()) {
        // What could not be read is kept: the next save would replace it.
        std::string aside = setStateFileAside();
        stateProblem = "state " + std::string(skipped ? "partly restored: " : "not restored: ") + error +
                       (aside.empty() ? "; it could not be set aside, so the state is not saved while running"
                                      : "; the file is kept as " + aside);
        saveRefused = aside.empty();
        std::cerr << "corvo-alarmd: " << stateProblem << std::endl;
    }
    engine->restore(saved, now());
    engine->takeTransitions();
    savedText = formatState(engine->saved());
    if (!error.empty() && !saveRefused) {
        // The file was set aside: what was restored is written at once, or
        // a stop without cleanup (kill -9, a power cut) before the first
        // change would lose every ack, shelve and disable at the next start.
        std::string problem = writeFileAtomically(statePath, savedText);
        if (!problem.empty()) {
            std::cerr << "corvo-alarmd: state not saved: " << problem << std::endl;
            savedText.clear();  // the loop tries again
        }
    }
}

std::string Alarmd::setStateFileAside()
{
    for (int n = 0; n < 100; ++n) {
        std::string aside = statePath + ".unreadable" + (n ? "." + std::to_string(n) : "");
        struct stat st {};
        if (lstat(aside.c_str(), &st) == 0)
            continue;  // an earlier one is kept too
        if (rename(statePath.c_str(), aside.c_str()) == 0)
            return aside;
        break;
    }
    return "";
}

void Alarmd::beforeLoop()
{
    Daemon::beforeLoop();
    network->setRecvValue(true);  // the property group: every daemon's broadcasts
    notifier = std::make_unique<Notifier>([this](const std::string& text) { logger->warn("{}", text); });
    properties.at("rules")->setValue(static_cast<long>(engine->rules().size()));
    logger->info("Watching site {}: {} alarm rules from {}, state in {}", site, engine->rules().size(), rulesPath,
                 statePath);
    if (!stateProblem.empty())
        logger->error("alarm {}", stateProblem);
    makeParents(statePath);
    lastTick = lastPublish = lastSave = Steady::now();
    for (size_t i = 0; i < engine->rules().size(); ++i)
        if (engine->state(i).state != State::Normal)
            shown.emplace(i, engine->toJson(i));
    engine->takeChanged();
    listDirty = true;
    broadcastList();
    publishCounts(true);
}

void Alarmd::onCommand(std::shared_ptr<Peer> peer, const corvo::proto::Command& command)
{
    commandPeer = peer;
    commandBeingRun = &command;
    Daemon::onCommand(peer, command);
    commandPeer.reset();
    commandBeingRun = nullptr;
    handleTransitions();
    saveState(false);  // at once, and only when something changed (no fsync per repeated request)
}

std::string Alarmd::requesterName() const
{
    if (!commandPeer)
        return "?";
    return commandPeer->identity.empty() ? commandPeer->name : commandPeer->identity;
}

void Alarmd::operatorCommand(const std::function<std::string(const std::string& by)>& change)
{
    std::string problem = change(requesterName());
    if (!problem.empty() && commandPeer && commandBeingRun)
        refuseCommand(commandPeer, *commandBeingRun, problem);
}

void Alarmd::onEnter(std::shared_ptr<Peer> peer)
{
    Daemon::onEnter(peer);
    if (!engine->watches(peer->name))
        return;
    present[peer->name].insert(peer->uuid);
    engine->peerPresence(peer->name, true, now());
}

void Alarmd::onExit(std::shared_ptr<Peer> peer)
{
    Daemon::onExit(peer);
    auto it = present.find(peer->name);
    if (it == present.end())
        return;
    it->second.erase(peer->uuid);
    if (it->second.empty()) {
        present.erase(it);
        engine->peerPresence(peer->name, false, now());
    }
}

void Alarmd::heard(const Peer& peer)
{
    engine->peerSilence(peer.name, false, now());
}

void Alarmd::onInfo(std::shared_ptr<Peer> peer)
{
    if (!engine->watches(peer->name))
        return;
    heard(*peer);
    for (const auto& [propertyName, property] : peer->properties)
        observe(*peer, property);
    onStatus(peer, peer->status);
}

void Alarmd::observe(const Peer& peer, const Property& property)
{
    engine->propertyValue(peer.name, property.name, observation(property), now());
}

void Alarmd::onProperty(std::shared_ptr<Peer> peer, const Property& property)
{
    heard(*peer);
    observe(*peer, property);
}

void Alarmd::onStatus(std::shared_ptr<Peer> peer, unsigned int value)
{
    heard(*peer);
    auto it = peer->statusNames.find(value);
    engine->peerStatus(peer->name, value, it == peer->statusNames.end() ? "" : it->second, now());
}

void Alarmd::checkSilence()
{
    double t = now();
    // Both ways: a peer that broadcasts nothing is alive again only by the
    // node's report.
    for (const std::string& name : engine->presencePeers()) {
        auto peer = network->findPeer(name);
        if (peer)
            engine->peerSilence(name, peer->silent, t);
    }
}

void Alarmd::onIdle()
{
    if (!engine)
        return;
    auto steadyNow = Steady::now();
    if (steadyNow - lastTick >= kTickEvery) {
        lastTick = steadyNow;
        followWallClock();
        checkSilence();
        engine->tick(now());
        runActions();
    }
    handleTransitions();
    if (steadyNow - lastPublish >= kPublishEvery)
        publish(false);
    if (listDirty && steadyNow - lastListBroadcast >= kListEvery)
        broadcastList();
    if (steadyNow - lastSave >= kSaveEvery)
        saveState(false);
}

void Alarmd::logTransition(const Transition& t)
{
    const Rule& rule = engine->rules()[t.rule];
    std::string text = "alarm " + rule.name + " [" + severityName(rule.severity) + "]: " + stateName(t.from) + " -> " +
                       stateName(t.to) + " (" + t.why + ")";
    if (t.entered && !rule.guidance.empty())
        text += "; guidance: " + rule.guidance;
    if (t.entered && rule.severity == Severity::Major)
        logger->error("{}", text);
    else if (t.entered)
        logger->warn("{}", text);
    else
        logger->info("{}", text);
}

void Alarmd::handleTransitions()
{
    for (const Transition& t : engine->takeTransitions()) {
        logTransition(t);
        const Rule& rule = engine->rules()[t.rule];
        if (t.entered) {
            ++episodes[t.rule];
            queueActions(t.rule);
        }
        std::string json = "{\"site\":" + jsonString(site) + ",\"from\":" + jsonString(stateName(t.from)) +
                           ",\"to\":" + jsonString(stateName(t.to)) + ",\"why\":" + jsonString(t.why) +
                           ",\"alarm\":" + engine->toJson(t.rule) + "}";
        notifier->post(engine->ruleSet().notifyFor(rule.severity), json);
        publishWanted = true;
    }
}

void Alarmd::queueActions(size_t rule)
{
    const auto& list = engine->rules()[rule].actions;
    // A new alarm replaces what is left of the rule's earlier one.
    for (auto it = actions.begin(); it != actions.end();)
        it = it->rule == rule ? actions.erase(it) : it + 1;
    for (size_t k = 0; k < list.size(); ++k) {
        ActionJob job;
        job.rule = rule;
        job.index = k;
        job.episode = episodes[rule];
        job.peer = list[k].peer;
        job.words = list[k].words;
        if (actions.size() >= kMaxPendingActions) {
            setOutcome(job, "dropped");
            continue;
        }
        actions.push_back(std::move(job));
    }
    runActions();
}

void Alarmd::setOutcome(const ActionJob& job, const std::string& outcome)
{
    if (job.episode != episodes[job.rule])
        return;
    auto& outcomes = engine->mutableState(job.rule).actions;
    if (job.index >= outcomes.size() || outcomes[job.index].outcome == outcome)
        return;
    outcomes[job.index].outcome = outcome;
    const Rule& rule = engine->rules()[job.rule];
    std::string text = "alarm " + rule.name + ": action " + job.peer + " " + joined(job.words) + ": " + outcome;
    if (outcome == "done" || outcome == "sent")
        logger->info("{}", text);
    else
        logger->warn("{}", text);
    engine->markChanged(job.rule);
}

void Alarmd::runActions()
{
    double t = now();
    int retries = engine->ruleSet().actionRetries;
    for (auto it = actions.begin(); it != actions.end();) {
        ActionJob& job = *it;
        if (job.sent) {
            if (t - job.sentAt >= kConfirmSeconds) {
                setOutcome(job, "done");
                it = actions.erase(it);
            } else {
                ++it;
            }
            continue;
        }
        if (t < job.nextTry) {
            ++it;
            continue;
        }
        auto peer = network->findPeer(job.peer);
        // Commands are known from the peer's Info; without them it is not
        // ready yet.
        if (!peer || peer->silent || peer->commands.empty()) {
            if (++job.attempts > retries) {
                setOutcome(job, "peer absent");
                it = actions.erase(it);
            } else {
                job.nextTry = t + kRetrySeconds;
                ++it;
            }
            continue;
        }
        if (!peer->commands.count(job.words[0])) {
            setOutcome(job, "refused: " + job.peer + " has no command " + job.words[0]);
            it = actions.erase(it);
            continue;
        }
        network->sendCommand(peer, job.words[0], {job.words.begin() + 1, job.words.end()});
        job.sent = true;
        job.sentAt = t;
        job.uuid = peer->uuid;
        setOutcome(job, "sent");
        ++it;
    }
}

void Alarmd::onResponse(std::shared_ptr<Peer> peer, const corvo::proto::Response& response)
{
    if (response.error().empty())
        return;
    for (auto it = actions.begin(); it != actions.end(); ++it) {
        if (it->sent && it->uuid == peer->uuid && it->words[0] == response.command().cmd_name()) {
            setOutcome(*it, "refused: " + response.error().substr(0, 512));
            actions.erase(it);
            return;
        }
    }
}

void Alarmd::publish(bool force)
{
    auto changed = engine->takeChanged();
    if (changed.empty() && !force && !publishWanted &&
        (unsentChanges.empty() || Steady::now() - lastPublish < kBacklogEvery))
        return;
    publishWanted = false;
    lastPublish = Steady::now();
    for (size_t i : changed) {
        shown.erase(i);
        if (engine->state(i).state != State::Normal)
            shown.emplace(i, engine->toJson(i));
    }
    unsentChanges.insert(changed.begin(), changed.end());
    // Within its byte budget; the rest goes in the next broadcasts, each
    // rule with its state at the time it is sent.
    std::vector<std::string> items;
    size_t bytes = 0;
    for (auto it = unsentChanges.begin(); it != unsentChanges.end() && items.size() < kMaxPropertyListItems;) {
        std::string json = engine->toJson(*it);
        if (!items.empty() && bytes + kBytesPerItem + json.size() > kMaxChangesBytes)
            break;
        bytes += kBytesPerItem + json.size();
        items.push_back(std::move(json));
        it = unsentChanges.erase(it);
    }
    if (!items.empty()) {
        auto changes = properties.at("changes");
        changes->strList = std::move(items);
        changes->sendProperty();
        listDirty = true;
    }
    publishCounts(force);
}

void Alarmd::publishCounts(bool force)
{
    long major = 0, minor = 0, unacked = 0, shelvedCount = 0, disabledCount = 0;
    for (const auto& [i, json] : shown) {
        const RuleState& s = engine->state(i);
        if (s.state == State::Shelved)
            ++shelvedCount;
        else if (s.state == State::Disabled)
            ++disabledCount;
        else
            ++(engine->rules()[i].severity == Severity::Major ? major : minor);
        if (s.state == State::Unacked || s.state == State::ReturnedUnacked)
            ++unacked;
    }
    auto update = [this, force](const char* propertyName, long value) {
        auto p = properties.at(propertyName);
        if (force || p->intValue != value)
            p->setValue(value);
    };
    update("major", major);
    update("minor", minor);
    update("unacked", unacked);
    update("shelved", shelvedCount);
    update("disabled", disabledCount);
    unsigned int wanted = major ? STATUS_MAJOR : minor ? STATUS_MINOR : 0;
    if (wanted != status)
        changeStatus(wanted);
}

void Alarmd::refreshList()
{
    if (!listDirty)
        return;
    listDirty = false;
    auto& list = properties.at("alarms")->strList;
    list.clear();
    size_t bytes = 0, left = 0;
    for (const auto& [i, json] : shown) {
        if (left || list.size() + 1 >= kMaxPropertyListItems || bytes + kBytesPerItem + json.size() > kMaxAlarmsBytes) {
            ++left;
            continue;
        }
        bytes += kBytesPerItem + json.size();
        list.push_back(json);
    }
    if (left)
        list.push_back(
            "{\"omitted\":" + std::to_string(left) + ",\"state\":\"omitted\",\"guidance\":" +
            jsonString(std::to_string(left) + " more rules are not normal; the counts are exact, the list is full") +
            "}");
}

void Alarmd::broadcastList()
{
    lastListBroadcast = Steady::now();
    refreshList();
    properties.at("alarms")->sendProperty();
}

void Alarmd::sendInfo(std::shared_ptr<Peer> peer)
{
    // The Info carries the current list even between its broadcasts.
    refreshList();
    Daemon::sendInfo(std::move(peer));
}

void Alarmd::saveState(bool force)
{
    lastSave = Steady::now();
    if (saveRefused)
        return;
    std::string text = formatState(engine->saved());
    if (text == savedText && !force)
        return;
    std::string problem = writeFileAtomically(statePath, text);
    if (!problem.empty()) {
        // Tried again every 500 ms: a lasting problem (a full disk) is
        // logged once, not at every try.
        if (problem != saveProblem)
            logger->error("alarm state not saved: {}", problem);
        saveProblem = std::move(problem);
        return;
    }
    if (!saveProblem.empty())
        logger->warn("alarm state saved again");
    saveProblem.clear();
    savedText = std::move(text);
}

void Alarmd::cleanup()
{
    if (engine) {
        handleTransitions();
        saveState(true);
    }
    if (notifier)
        notifier->stop(2000);
    Daemon::cleanup();
}

}  // namespace corvo::alarmd
