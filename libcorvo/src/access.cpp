// Access rules and the lock of a daemon (see access.h for the grammar).
#include "corvo/access.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sstream>

#include "corvo/misc.h"

namespace corvo {

namespace {

// Words separated by commas and/or blanks.
std::vector<std::string> words(const std::string& text)
{
    std::string spaced = text;
    std::replace(spaced.begin(), spaced.end(), ',', ' ');
    std::istringstream in(spaced);
    std::vector<std::string> out;
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

bool validWho(const std::string& who)
{
    if (who == "*")
        return true;
    std::string name = who[0] == '@' ? who.substr(1) : who;
    if (name.empty() || name.size() > 64 || name[0] == '.')
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
               c == '-';
    });
}

bool validPattern(const std::string& pattern)
{
    return !pattern.empty() && pattern.size() <= 1024 &&
           std::all_of(pattern.begin(), pattern.end(), [](char c) { return c > ' ' && c < 127; });
}

std::optional<Right> rightFromWord(const std::string& word)
{
    if (word == "set")
        return Right::Set;
    if (word == "run")
        return Right::Run;
    if (word == "lock")
        return Right::Lock;
    if (word == "override")
        return Right::Override;
    if (word == "fetch")
        return Right::Fetch;
    return std::nullopt;
}

std::string utcText(AccessControl::Clock::time_point when)
{
    std::time_t t = AccessControl::Clock::to_time_t(when);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

detail::AccessClocks& accessClocks()
{
    static detail::AccessClocks clocks;
    return clocks;
}

std::chrono::system_clock::time_point wallNow()
{
    const detail::AccessClocks& clocks = accessClocks();
    return clocks.wall ? clocks.wall() : std::chrono::system_clock::now();
}

std::chrono::steady_clock::time_point steadyNow()
{
    const detail::AccessClocks& clocks = accessClocks();
    return clocks.steady ? clocks.steady() : std::chrono::steady_clock::now();
}

// The end of a lease as the wall clock shows it: the wall clock's now plus
// what is left of the lease at `now`, which may run apart from the wall
// clock (leaseNow).
std::string untilText(AccessControl::Clock::time_point until, AccessControl::Clock::time_point now)
{
    return utcText(wallNow() + (until - now));
}

}  // namespace

void detail::setAccessClocks(AccessClocks clocks)
{
    accessClocks() = std::move(clocks);
}

AccessControl::Clock::time_point AccessControl::leaseNow()
{
    // One start for the process, taken at its first decision.
    static const Clock::time_point wallAtStart = wallNow();
    static const std::chrono::steady_clock::time_point steadyAtStart = steadyNow();
    return wallAtStart + std::chrono::duration_cast<Clock::duration>(steadyNow() - steadyAtStart);
}

const char* rightName(Right right)
{
    switch (right) {
        case Right::Set:
            return "set";
        case Right::Run:
            return "run";
        case Right::Lock:
            return "lock";
        case Right::Override:
            return "override";
        case Right::Fetch:
            return "fetch";
    }
    return "?";
}

AccessRules AccessRules::parse(const std::string& text, const std::string& source)
{
    AccessRules result;
    std::istringstream in(text);
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        auto fail = [&](const std::string& why) {
            throw AccessError(source + ":" + std::to_string(number) + ": " + why);
        };
        size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.resize(hash);
        line = trimmed(line);
        if (line.empty())
            continue;
        if (result.rules.size() + result.localGroups.size() >= kMaxRules)
            fail("more than " + std::to_string(kMaxRules) + " rules");
        std::vector<std::string> parts = words(line);
        if (parts.size() > kMaxWordsPerRule)
            fail("more than " + std::to_string(kMaxWordsPerRule) + " words");
        if (parts[0] == "group") {
            size_t equals = line.find('=');
            if (equals == std::string::npos)
                fail("expected: group NAME = WHO, ...");
            std::vector<std::string> name = words(line.substr(5, equals - 5));
            std::vector<std::string> members = words(line.substr(equals + 1));
            if (name.size() != 1 || !validWho(name[0]) || name[0][0] == '@' || name[0] == "*")
                fail("a group needs one name");
            for (const auto& member : members)
                if (!validWho(member) || member == "*")
                    fail("'" + member + "' is not an identity or @group");
            result.localGroups[name[0]].insert(members.begin(), members.end());
            continue;
        }
        if (parts[0] != "allow")
            fail("a rule starts with 'allow' or 'group'");
        Rule rule;
        size_t i = 1;
        std::optional<Right> right;
        for (; i < parts.size() && !(right = rightFromWord(parts[i])); ++i) {
            if (!validWho(parts[i]))
                fail("'" + parts[i] + "' is not an identity, @group or *");
            rule.who.push_back(parts[i]);
        }
        if (!right)
            fail("missing right: set, run, fetch, lock or override");
        if (rule.who.empty())
            fail("missing who: an identity, @group or *");
        rule.right = *right;
        rule.patterns.assign(parts.begin() + long(i) + 1, parts.end());
        bool named = rule.right == Right::Set || rule.right == Right::Run || rule.right == Right::Fetch;
        if (named && rule.patterns.empty())
            fail(std::string("'") + rightName(rule.right) + "' needs the names it grants (patterns)");
        if (!named && !rule.patterns.empty())
            fail(std::string("'") + rightName(rule.right) + "' takes no names");
        for (const auto& pattern : rule.patterns)
            if (!validPattern(pattern))
                fail("'" + pattern + "' is not a valid pattern");
        result.rules.push_back(std::move(rule));
    }
    return result;
}

AccessRules AccessRules::load(const std::string& path)
{
    try {
        // A rules file another user could change would let them grant rights.
        return parse(readSmallFile(path, kMaxFileSize,
                                   [&](const struct stat& info) {
                                       if (info.st_uid != geteuid() && info.st_uid != 0)
                                           throw AccessError(path + ": the rules file belongs to another user (uid " +
                                                             std::to_string(info.st_uid) + ")");
                                       if (info.st_mode & (S_IWGRP | S_IWOTH))
                                           throw AccessError(path +
                                                             ": the rules file is writable by others (chmod go-w it)");
                                   }),
                     path);
    } catch (const FileError& e) {
        throw AccessError(e.what());
    }
}

bool AccessRules::matchesWho(const Rule& rule, const std::string& identity, const std::vector<std::string>& groups,
                             std::set<std::string>& explored) const
{
    for (const auto& who : rule.who) {
        if (who == "*" || who == identity)
            return true;
        if (who[0] == '@' && inGroup(who.substr(1), identity, groups, explored))
            return true;
    }
    return false;
}

bool AccessRules::inGroup(const std::string& group, const std::string& identity, const std::vector<std::string>& groups,
                          std::set<std::string>& explored) const
{
    std::vector<std::string> pending{group};
    while (!pending.empty()) {
        std::string name = std::move(pending.back());
        pending.pop_back();
        if (std::find(groups.begin(), groups.end(), name) != groups.end())
            return true;
        auto local = localGroups.find(name);
        // Each group of this file is searched once: a cycle ends.
        if (local == localGroups.end() || !explored.insert(name).second)
            continue;
        if (local->second.count(identity))
            return true;
        for (const auto& member : local->second)
            if (member[0] == '@')
                pending.push_back(member.substr(1));
    }
    return false;
}

bool AccessRules::allows(const std::string& identity, const std::vector<std::string>& groups, Right right,
                         const std::string& name) const
{
    // The groups searched in vain, shared by the rules: a group is searched
    // once per question however often the rules name it. (Sound because the
    // first rule whose WHO matches answers the question.)
    std::set<std::string> explored;
    for (const Rule& rule : rules)
        if (rule.right == right && grantsName(rule, name) && matchesWho(rule, identity, groups, explored))
            return true;
    return false;
}

bool AccessRules::grantsName(const Rule& rule, const std::string& name)
{
    if (rule.patterns.empty())
        return true;
    for (const auto& pattern : rule.patterns)
        if (fnmatch(pattern.c_str(), name.c_str(), 0) == 0)
            return true;
    return false;
}

void AccessControl::configure(bool secured, std::optional<AccessRules> accessRules,
                              std::map<std::string, std::vector<std::string>> groupsByIdentity)
{
    if (!secured && accessRules)
        throw AccessError("access rules need a secured site (--key): on an open site no identity can be proven");
    isSecured = secured;
    rules = std::move(accessRules);
    groups = std::move(groupsByIdentity);
    current.reset();
}

bool AccessControl::allowed(const std::string& identity, Right right, const std::string& name) const
{
    if (!isSecured || !rules)
        return true;
    auto found = groups.find(identity);
    static const std::vector<std::string> none;
    return rules->allows(identity, found == groups.end() ? none : found->second, right, name);
}

std::string AccessControl::lockedOut(const std::string& identity, Clock::time_point now) const
{
    const Lock* held = lock(now);
    if (!held || held->holder == identity)
        return "";
    return "locked by " + held->holder + " until " + untilText(held->until, now);
}

std::string AccessControl::checkWrite(const std::string& identity, const std::string& property, Clock::time_point now)
{
    if (!allowed(identity, Right::Set, property))
        return identity + " may not set " + property;
    return lockedOut(identity, now);
}

std::string AccessControl::checkCommand(const std::string& identity, const std::string& command, bool safety,
                                        Clock::time_point now)
{
    if (!allowed(identity, Right::Run, command))
        return identity + " may not run " + command;
    return safety ? "" : lockedOut(identity, now);
}

std::string AccessControl::checkFetch(const std::string& identity, const std::string& name) const
{
    return allowed(identity, Right::Fetch, name) ? "" : identity + " may not fetch " + name;
}

std::string AccessControl::takeLock(const std::string& identity, std::chrono::seconds lease, Clock::time_point now,
                                    std::string& broken)
{
    broken.clear();
    if (!isSecured)
        return "locks need a secured site: on an open site no identity can be proven";
    if (lease.count() <= 0 || lease > kMaxLease)
        return "a lease lasts 1 to " + std::to_string(kMaxLease.count()) + " seconds";
    if (!allowed(identity, Right::Lock, ""))
        return identity + " may not lock";
    const Lock* held = lock(now);
    if (held && held->holder != identity) {
        if (!allowed(identity, Right::Override, ""))
            return lockedOut(identity, now);
        broken = held->holder;
    }
    current = Lock{identity, now + lease};
    return "";
}

std::string AccessControl::releaseLock(const std::string& identity, Clock::time_point now, std::string& broken)
{
    broken.clear();
    if (!isSecured)
        return "locks need a secured site: on an open site no identity can be proven";
    const Lock* held = lock(now);
    if (!held)
        return "not locked";
    if (held->holder != identity) {
        if (!allowed(identity, Right::Override, ""))
            return lockedOut(identity, now);
        broken = held->holder;
    }
    current.reset();
    return "";
}

bool AccessControl::expire(Clock::time_point now)
{
    if (!current || now < current->until)
        return false;
    current.reset();
    return true;
}

const Lock* AccessControl::lock(Clock::time_point now) const
{
    return current && now < current->until ? &*current : nullptr;
}

std::string AccessControl::describeLock(Clock::time_point now) const
{
    const Lock* held = lock(now);
    return held ? held->holder + " until " + untilText(held->until, now) : "";
}

}  // namespace corvo
