// corvo alarms (see alarms.h and apps/alarmd/README.md).
#include "alarms.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <iostream>

#include "corvo/message.h"
#include "corvo/misc.h"
#include "corvo/network.h"
#include "text.h"

namespace corvo::tool {

namespace {

const char* const kAlarmDaemon = "alarmd";

// Checks that a peer's text is one JSON object and writes it again with
// every string's raw control, DEL and C1 characters and invalid UTF-8
// escaped as jsonString escapes them; everything else is copied as it is.
// Nesting deeper than kMaxDepth is refused.
class JsonObjectCleaner {
public:
    explicit JsonObjectCleaner(const std::string& text) : in(text) {}

    // True, with the cleaned text in `out`, when the whole text is one object.
    bool clean(std::string& result)
    {
        space();
        if (peek() != '{' || !value())
            return false;
        space();
        if (at != in.size())
            return false;
        result = std::move(out);
        return true;
    }

private:
    static constexpr int kMaxDepth = 32;

    char peek() const { return at < in.size() ? in[at] : '\0'; }

    void space()
    {
        while (at < in.size() && (in[at] == ' ' || in[at] == '\t' || in[at] == '\n' || in[at] == '\r'))
            out += in[at++];
    }

    bool value()
    {
        switch (peek()) {
            case '{':
                return container('}', true);
            case '[':
                return container(']', false);
            case '"':
                return string();
            case 't':
                return literal("true");
            case 'f':
                return literal("false");
            case 'n':
                return literal("null");
            default:
                return number();
        }
    }

    bool container(char close, bool members)
    {
        if (++depth > kMaxDepth)
            return false;
        out += in[at++];
        space();
        if (peek() == close) {
            out += in[at++];
            --depth;
            return true;
        }
        for (;;) {
            if (members) {
                if (peek() != '"' || !string())
                    return false;
                space();
                if (peek() != ':')
                    return false;
                out += in[at++];
                space();
            }
            if (!value())
                return false;
            space();
            if (peek() == ',') {
                out += in[at++];
                space();
                continue;
            }
            if (peek() != close)
                return false;
            out += in[at++];
            --depth;
            return true;
        }
    }

    bool string()
    {
        out += in[at++];
        size_t start = at;
        auto flush = [&] {
            std::string escaped = jsonString(in.substr(start, at - start));
            out.append(escaped, 1, escaped.size() - 2);
        };
        while (at < in.size()) {
            char c = in[at];
            if (c == '"') {
                flush();
                out += in[at++];
                return true;
            }
            if (c != '\\') {
                ++at;
                continue;
            }
            flush();
            if (at + 1 >= in.size())
                return false;
            char kind = in[at + 1];
            size_t length = 2;
            if (kind == 'u') {
                length = 6;
                if (at + length > in.size())
                    return false;
                for (size_t k = at + 2; k < at + length; ++k)
                    if (!std::isxdigit(static_cast<unsigned char>(in[k])))
                        return false;
            } else if (std::string("\"\\/bfnrt").find(kind) == std::string::npos) {
                return false;
            }
            out.append(in, at, length);
            at += length;
            start = at;
        }
        return false;
    }

    bool literal(const char* word)
    {
        std::string w = word;
        if (in.compare(at, w.size(), w) != 0)
            return false;
        out += w;
        at += w.size();
        return true;
    }

    bool number()
    {
        size_t start = at;
        auto digits = [&] {
            size_t from = at;
            while (std::isdigit(static_cast<unsigned char>(peek())))
                ++at;
            return at > from;
        };
        if (peek() == '-')
            ++at;
        if (peek() == '0')
            ++at;
        else if (!digits())
            return false;
        if (peek() == '.') {
            ++at;
            if (!digits())
                return false;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++at;
            if (peek() == '+' || peek() == '-')
                ++at;
            if (!digits())
                return false;
        }
        out.append(in, start, at - start);
        return true;
    }

    const std::string& in;
    size_t at = 0;
    int depth = 0;
    std::string out;
};

// The items of the "alarms" property that are JSON objects, cleaned (see
// above); others (a peer's junk) are left out rather than printed.
std::vector<std::string> alarmObjects(const Peer& peer)
{
    std::vector<std::string> out;
    auto it = peer.properties.find("alarms");
    if (it == peer.properties.end())
        return out;
    for (const std::string& item : it->second.strList) {
        std::string cleaned;
        if (JsonObjectCleaner(item).clean(cleaned))
            out.push_back(std::move(cleaned));
    }
    return out;
}

// "3 min", "2 h" since an ISO time "YYYY-MM-DDTHH:MM:SSZ".
std::string ageText(const std::string& iso)
{
    struct tm tm {};
    if (!strptime(iso.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm))
        return "?";
    long seconds = static_cast<long>(std::difftime(std::time(nullptr), timegm(&tm)));
    if (seconds < 0)
        seconds = 0;
    if (seconds < 120)
        return std::to_string(seconds) + " s";
    if (seconds < 7200)
        return std::to_string(seconds / 60) + " min";
    if (seconds < 172800)
        return std::to_string(seconds / 3600) + " h";
    return std::to_string(seconds / 86400) + " d";
}

// Where `"}` stands in `json` from `from` on with its quote not escaped (a
// text may hold an escaped one), or npos.
size_t findStringEnd(const std::string& json, size_t from)
{
    for (size_t at = json.find("\"}", from); at != std::string::npos; at = json.find("\"}", at + 1)) {
        size_t backslashes = 0;
        while (at > backslashes && json[at - 1 - backslashes] == '\\')
            ++backslashes;
        if (backslashes % 2 == 0)
            return at;
    }
    return std::string::npos;
}

// The "outcome" texts of the object's actions, as "peer command: outcome".
std::vector<std::string> actionLines(const std::string& json)
{
    std::vector<std::string> out;
    size_t at = json.find("\"actions\":[");
    while (at != std::string::npos) {
        size_t open = json.find('{', at);
        if (open == std::string::npos)
            break;
        size_t close = findStringEnd(json, open);
        if (close == std::string::npos)
            break;
        std::string action = json.substr(open, close + 2 - open);
        out.push_back(jsonTextField(action, "peer") + " " + jsonTextField(action, "command") + ": " +
                      jsonTextField(action, "outcome"));
        at = close + 2;
        if (at >= json.size() || json[at] != ',')
            break;
    }
    return out;
}

class AlarmsTask : public Task {
public:
    explicit AlarmsTask(std::vector<std::string> command) : command(std::move(command)) {}

    void onIdle(CorvoTool& tool) override
    {
        if (!peer) {
            peer = tool.describedPeer(kAlarmDaemon);
            if (!peer) {
                if (Clock::now() >= tool.deadline())
                    fail(tool, EXIT_NOT_FOUND,
                         std::string("no alarm daemon (") + kAlarmDaemon + ") on site " + tool.getSite());
                return;
            }
            if (command.empty())
                return list(tool);
            tool.net().sendOne(ProtobufToZMsg(genCommandPB(command)), peer);
            sentAt = Clock::now();
            return;
        }
        if (Clock::now() - sentAt > std::chrono::duration<double>(tool.options().timeout))
            fail(tool, EXIT_TIMEOUT, std::string(kAlarmDaemon) + " did not confirm " + command[0]);
    }

    void onProperty(CorvoTool& tool, Peer& from, const Property& property) override
    {
        if (!peer || command.empty() || from.uuid != peer->uuid || property.name != "changes")
            return;
        // A name (not a pattern) waits for its own rule's change.
        const std::string& rule = command[1];
        if (rule.find_first_of("*?[") == std::string::npos &&
            std::none_of(property.strList.begin(), property.strList.end(),
                         [&](const std::string& item) { return jsonTextField(item, "rule") == rule; }))
            return;
        std::cout << escapeControl(command[0] == "ack" ? "acknowledged " + command[1]
                                                       : "shelved " + command[1] + " for " + command[2])
                  << '\n';
        tool.finish(EXIT_OK);
    }

    void onResponse(CorvoTool& tool, Peer& from, const corvo::proto::Response& response) override
    {
        if (!peer || command.empty() || from.uuid != peer->uuid || response.error().empty() ||
            response.command().cmd_name() != command[0])
            return;
        fail(tool, EXIT_REFUSED, std::string(kAlarmDaemon) + " refused " + command[0] + ": " + response.error());
    }

private:
    void fail(CorvoTool& tool, int status, const std::string& text)
    {
        std::cerr << "corvo: " << escapeControl(text) << std::endl;
        tool.finish(status);
    }

    void list(CorvoTool& tool)
    {
        auto objects = alarmObjects(*peer);
        if (tool.options().json) {
            std::cout << "[";
            for (size_t i = 0; i < objects.size(); ++i)
                std::cout << (i ? ",\n " : "") << objects[i];
            std::cout << "]\n";
            return tool.finish(EXIT_OK);
        }
        if (objects.empty()) {
            std::cout << "no alarms\n";
            return tool.finish(EXIT_OK);
        }
        for (const std::string& json : objects) {
            std::string state = jsonTextField(json, "state");
            if (state == "omitted") {
                // The daemon's list is full: its last item says how many it left out.
                std::cout << "... " << escapeControl(jsonTextField(json, "guidance")) << '\n';
                continue;
            }
            std::string line = state + "  " + jsonTextField(json, "severity") + "  " + jsonTextField(json, "rule") +
                               "  " + jsonTextField(json, "condition") + "  value " + jsonTextField(json, "value") +
                               "  for " + ageText(jsonTextField(json, "since"));
            if (state == "shelved")
                line += "  until " + jsonTextField(json, "shelved_until");
            std::string by = jsonTextField(json, "by"), reason = jsonTextField(json, "reason");
            if (!by.empty())
                line += "  by " + by;
            if (!reason.empty())
                line += ": " + reason;
            std::cout << escapeControl(line) << '\n';
            std::string guidance = jsonTextField(json, "guidance");
            if (!guidance.empty())
                std::cout << "    " << escapeControl(guidance) << '\n';
            for (const std::string& action : actionLines(json))
                std::cout << "    action " << escapeControl(action) << '\n';
        }
        tool.finish(EXIT_OK);
    }

    std::vector<std::string> command;  // empty: list
    std::shared_ptr<Peer> peer;
    Clock::time_point sentAt;
};

}  // namespace

std::string jsonTextField(const std::string& json, const std::string& key)
{
    // Outside a string a quote only delimits one, so "KEY":" is found only
    // where the key stands.
    std::string pattern = "\"" + key + "\":\"";
    size_t at = json.find(pattern);
    if (at == std::string::npos)
        return "";
    std::string out;
    for (size_t i = at + pattern.size(); i < json.size(); ++i) {
        char c = json[i];
        if (c == '"')
            return out;
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= json.size())
            break;
        switch (json[i]) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'u':
                out += '?';  // control characters only: shown escaped anyway
                i += 4;
                break;
            default:
                out += json[i];
        }
    }
    return out;
}

std::unique_ptr<Task> makeAlarmsTask(const std::vector<std::string>& words, int& status)
{
    status = EXIT_USAGE;
    if (words.empty())
        return std::make_unique<AlarmsTask>(std::vector<std::string>{});
    if (words[0] == "ack" && words.size() == 2)
        return std::make_unique<AlarmsTask>(words);
    if (words[0] == "shelve" && words.size() >= 3) {
        std::string reason;
        for (size_t i = 3; i < words.size(); ++i)
            reason += (reason.empty() ? "" : " ") + words[i];
        return std::make_unique<AlarmsTask>(std::vector<std::string>{"shelve", words[1], words[2], reason});
    }
    std::cerr << "corvo: usage: corvo alarms [ack RULE | shelve RULE DURATION [REASON...]]" << std::endl;
    return nullptr;
}

}  // namespace corvo::tool
