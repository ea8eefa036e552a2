// The alarm rules file (grammar: apps/alarmd/README.md).
#include "rules.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <sstream>

namespace corvo::alarmd {

const char* severityName(Severity severity)
{
    return severity == Severity::Major ? "major" : "minor";
}

const char* opText(Op op)
{
    switch (op) {
        case Op::Less:
            return "<";
        case Op::LessEqual:
            return "<=";
        case Op::Greater:
            return ">";
        case Op::GreaterEqual:
            return ">=";
        case Op::Equal:
            return "==";
        case Op::NotEqual:
            return "!=";
    }
    return "?";
}

std::string numberText(double v)
{
    std::ostringstream out;
    out.precision(15);
    out << v;
    return out.str();
}

std::string Rule::conditionText() const
{
    switch (kind) {
        case ConditionKind::Compare:
            return peer + "." + property + " " + opText(op) + " " + (numeric ? numberText(number) : text);
        case ConditionKind::Inside:
            return peer + "." + property + " in " + numberText(low) + ".." + numberText(high);
        case ConditionKind::Outside:
            return peer + "." + property + " outside " + numberText(low) + ".." + numberText(high);
        case ConditionKind::Status:
            return peer + " status " + opText(op) + " " + text;
        case ConditionKind::Gone:
            return peer + " gone for " + durationText(forSeconds);
        case ConditionKind::Silent:
            return peer + " silent for " + durationText(forSeconds);
    }
    return "";
}

bool parseDurationText(const std::string& text, double& seconds)
{
    if (text.empty() || text.size() > 32 || !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
        return false;
    // Plain decimals only (strtod would also take exponents and hexadecimal).
    size_t numberEnd = text.find_first_not_of("0123456789.");
    std::string digits = text.substr(0, numberEnd);
    if (std::count(digits.begin(), digits.end(), '.') > 1 || digits == ".")
        return false;
    double value = std::strtod(digits.c_str(), nullptr);
    if (!std::isfinite(value))
        return false;
    std::string unit = numberEnd == std::string::npos ? "" : text.substr(numberEnd);
    double scale = 0;
    if (unit.empty() || unit == "s")
        scale = 1;
    else if (unit == "ms")
        scale = 0.001;
    else if (unit == "m" || unit == "min")
        scale = 60;
    else if (unit == "h")
        scale = 3600;
    else if (unit == "d")
        scale = 86400;
    else
        return false;
    value *= scale;
    if (value > kMaxDurationSeconds)
        return false;
    seconds = value;
    return true;
}

std::string durationText(double seconds)
{
    if (seconds >= 3600 && std::fmod(seconds, 3600) == 0)
        return numberText(seconds / 3600) + " h";
    if (seconds >= 60 && std::fmod(seconds, 60) == 0)
        return numberText(seconds / 60) + " min";
    return numberText(seconds) + " s";
}

namespace {

std::vector<std::string> splitWords(const std::string& text)
{
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

std::string trimmed(const std::string& text)
{
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

bool isNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.';
}

bool validName(const std::string& name)
{
    return !name.empty() && name.size() <= kMaxNameBytes && name[0] != '.' && name[0] != '-' &&
           std::all_of(name.begin(), name.end(), isNameChar);
}

// A word of printable ASCII without blanks: a property name, a command word.
bool validWord(const std::string& word)
{
    return !word.empty() && word.size() <= 1024 &&
           std::all_of(word.begin(), word.end(), [](char c) { return c > ' ' && c < 127; });
}

bool parseNumber(const std::string& text, double& value)
{
    if (text.empty() || text.size() > 64)
        return false;
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v))
        return false;
    // strtod also reads "inf", "nan" and hexadecimal: only decimal numbers.
    if (text.find_first_of("xXnNiI") != std::string::npos)
        return false;
    value = v;
    return true;
}

std::optional<Op> opFromWord(const std::string& word)
{
    if (word == "<")
        return Op::Less;
    if (word == "<=")
        return Op::LessEqual;
    if (word == ">")
        return Op::Greater;
    if (word == ">=")
        return Op::GreaterEqual;
    if (word == "==")
        return Op::Equal;
    if (word == "!=")
        return Op::NotEqual;
    return std::nullopt;
}

// A value after an operator: the rest of the line; double quotes around it
// keep blanks at its ends.
std::string valueText(const std::string& rest)
{
    std::string value = trimmed(rest);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        return value.substr(1, value.size() - 2);
    return value;
}

class Parser {
public:
    explicit Parser(std::string source) : source(std::move(source)) {}

    RuleSet parse(const std::string& text)
    {
        if (text.size() > kMaxRulesFileBytes)
            throw RulesError(source + ": larger than " + std::to_string(kMaxRulesFileBytes) + " bytes");
        if (text.find('\0') != std::string::npos)
            throw RulesError(source + ": holds a NUL byte (not a text file)");
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            ++lineNo;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.size() > kMaxLineBytes)
                fail("line longer than " + std::to_string(kMaxLineBytes) + " bytes");
            parseLine(line);
        }
        finishRule();
        return std::move(set);
    }

private:
    [[noreturn]] void fail(const std::string& why) const
    {
        throw RulesError(source + ":" + std::to_string(lineNo) + ": " + why);
    }

    void parseLine(const std::string& raw)
    {
        std::string line = trimmed(raw);
        if (line.empty() || line[0] == '#')
            return;
        if (std::any_of(line.begin(), line.end(), [](char c) { return (c > 0 && c < ' ' && c != '\t') || c == 127; }))
            fail("control character");
        size_t cut = line.find_first_of(" \t");
        std::string keyword = line.substr(0, cut);
        std::string rest = cut == std::string::npos ? "" : trimmed(line.substr(cut));
        if (keyword == "rule")
            return startRule(rest);
        if (!current)
            return setting(keyword, rest);
        ruleLine(keyword, rest);
    }

    void setting(const std::string& keyword, const std::string& rest)
    {
        auto words = splitWords(rest);
        if (keyword == "max-shelve") {
            if (words.size() != 1 || !parseDurationText(words[0], set.maxShelveSeconds) || set.maxShelveSeconds <= 0)
                fail("max-shelve wants one duration above 0 (such as 8h)");
        } else if (keyword == "action-retries") {
            double n = 0;
            if (words.size() != 1 || !parseNumber(words[0], n) || n < 0 || n > 100 || n != std::floor(n))
                fail("action-retries wants a whole number from 0 to 100");
            set.actionRetries = static_cast<int>(n);
        } else if (keyword == "webhook") {
            if (words.size() != 2)
                fail("webhook wants a severity (minor, major or *) and a URL");
            if (words[1].rfind("http://", 0) != 0 || !validWord(words[1]) || words[1].size() <= 7)
                fail("webhook URL must start with http:// (no TLS): \"" + words[1] + "\"");
            for (Severity s : severities(words[0]))
                set.notify[static_cast<int>(s)].webhook = words[1];
        } else if (keyword == "hook") {
            if (words.size() < 2)
                fail("hook wants a severity (minor, major or *) and a program");
            if (words[1][0] != '/')
                fail("hook program must be an absolute path: \"" + words[1] + "\"");
            if (words.size() - 1 > kMaxActionWords)
                fail("hook has more than " + std::to_string(kMaxActionWords) + " words");
            for (Severity s : severities(words[0]))
                set.notify[static_cast<int>(s)].command.assign(words.begin() + 1, words.end());
        } else {
            fail("unknown setting \"" + keyword + "\" (a rule starts with \"rule NAME\")");
        }
    }

    std::vector<Severity> severities(const std::string& word) const
    {
        if (word == "minor")
            return {Severity::Minor};
        if (word == "major")
            return {Severity::Major};
        if (word == "*")
            return {Severity::Minor, Severity::Major};
        fail("unknown severity \"" + word + "\" (minor, major or *)");
    }

    void startRule(const std::string& rest)
    {
        finishRule();
        auto words = splitWords(rest);
        if (words.size() != 1)
            fail("rule wants one name");
        if (!validName(words[0]))
            fail("bad rule name \"" + words[0] + "\" (letters, digits, '_', '-', '.', at most 64)");
        if (names.count(words[0]))
            fail("rule \"" + words[0] + "\" is defined twice");
        if (set.rules.size() >= kMaxRules)
            fail("more than " + std::to_string(kMaxRules) + " rules");
        names.insert(words[0]);
        set.rules.emplace_back();
        current = &set.rules.back();
        current->name = words[0];
        current->line = lineNo;
        seen.clear();
    }

    void once(const std::string& keyword)
    {
        if (!seen.insert(keyword).second)
            fail("\"" + keyword + "\" given twice in rule " + current->name);
    }

    void ruleLine(const std::string& keyword, const std::string& rest)
    {
        Rule& rule = *current;
        auto words = splitWords(rest);
        if (keyword == "when") {
            once(keyword);
            parseCondition(rest);
        } else if (keyword == "severity") {
            once(keyword);
            if (words.size() != 1 || (words[0] != "minor" && words[0] != "major"))
                fail("severity is minor or major");
            rule.severity = words[0] == "major" ? Severity::Major : Severity::Minor;
        } else if (keyword == "delay") {
            once(keyword);
            if (words.size() != 1 || !parseDurationText(words[0], rule.delaySeconds))
                fail("delay wants one duration (such as 5s)");
        } else if (keyword == "deadband") {
            once(keyword);
            if (words.size() != 1 || !parseNumber(words[0], rule.deadband) || rule.deadband < 0)
                fail("deadband wants one number, 0 or more");
            deadbandLine = lineNo;
        } else if (keyword == "latch") {
            once(keyword);
            if (!words.empty())
                fail("latch takes nothing after it");
            rule.latch = true;
        } else if (keyword == "guidance") {
            if (rest.empty())
                fail("guidance wants a text");
            std::string text = rule.guidance.empty() ? rest : rule.guidance + " " + rest;
            if (text.size() > kMaxGuidanceBytes)
                fail("guidance longer than " + std::to_string(kMaxGuidanceBytes) + " bytes");
            rule.guidance = text;
        } else if (keyword == "action") {
            if (words.size() < 2)
                fail("action wants a peer and a command");
            if (!validName(words[0]))
                fail("bad peer name \"" + words[0] + "\"");
            if (words.size() - 1 > kMaxActionWords)
                fail("action has more than " + std::to_string(kMaxActionWords) + " words");
            if (rule.actions.size() >= kMaxActionsPerRule)
                fail("more than " + std::to_string(kMaxActionsPerRule) + " actions in rule " + rule.name);
            rule.actions.push_back({words[0], {words.begin() + 1, words.end()}});
        } else {
            fail("unknown keyword \"" + keyword + "\" in rule " + rule.name);
        }
    }

    // PEER.PROPERTY OP VALUE | PEER.PROPERTY in|outside LOW..HIGH |
    // PEER status OP NAME | PEER gone|silent for DURATION
    void parseCondition(const std::string& rest)
    {
        Rule& rule = *current;
        auto words = splitWords(rest);
        if (words.size() < 3)
            fail("when wants a condition: PEER.PROPERTY OP VALUE, PEER.PROPERTY in|outside LOW..HIGH, "
                 "PEER status ==|!= NAME, or PEER gone|silent for DURATION");
        const std::string& subject = words[0];
        std::string afterSubject = trimmed(rest.substr(rest.find(subject) + subject.size()));
        if (words[1] == "status" || words[1] == "gone" || words[1] == "silent") {
            if (!validName(subject))
                fail("bad peer name \"" + subject + "\"");
            rule.peer = subject;
            if (words[1] == "status") {
                auto op = opFromWord(words[2]);
                if (!op || (*op != Op::Equal && *op != Op::NotEqual))
                    fail("a status is compared with == or !=");
                rule.kind = ConditionKind::Status;
                rule.op = *op;
                std::string afterOp = trimmed(afterSubject.substr(afterSubject.find(words[2]) + words[2].size()));
                rule.text = valueText(afterOp);
                if (rule.text.empty() || words.size() < 4)
                    fail("status wants a name or a number after " + words[2]);
                return;
            }
            rule.kind = words[1] == "gone" ? ConditionKind::Gone : ConditionKind::Silent;
            if (words.size() != 4 || words[2] != "for" || !parseDurationText(words[3], rule.forSeconds))
                fail(words[1] + " wants \"for DURATION\" (such as " + words[1] + " for 30s)");
            return;
        }
        size_t dot = subject.find('.');
        if (dot == std::string::npos || dot == 0 || dot + 1 == subject.size())
            fail("\"" + subject + "\" is not PEER.PROPERTY (nor PEER status|gone|silent)");
        rule.peer = subject.substr(0, dot);
        rule.property = subject.substr(dot + 1);
        if (!validName(rule.peer))
            fail("bad peer name \"" + rule.peer + "\"");
        if (!validWord(rule.property))
            fail("bad property name \"" + rule.property + "\"");
        if (words[1] == "in" || words[1] == "outside") {
            rule.kind = words[1] == "in" ? ConditionKind::Inside : ConditionKind::Outside;
            size_t dots = words[2].find("..");
            if (words.size() != 3 || dots == std::string::npos || !parseNumber(words[2].substr(0, dots), rule.low) ||
                !parseNumber(words[2].substr(dots + 2), rule.high))
                fail(words[1] + " wants a range LOW..HIGH of numbers (such as 0..10)");
            if (rule.low > rule.high)
                fail("range " + words[2] + " is empty (LOW above HIGH)");
            return;
        }
        auto op = opFromWord(words[1]);
        if (!op)
            fail("unknown operator \"" + words[1] + "\" (<, <=, >, >=, ==, !=, in, outside)");
        rule.kind = ConditionKind::Compare;
        rule.op = *op;
        std::string afterOp = trimmed(afterSubject.substr(afterSubject.find(words[1]) + words[1].size()));
        rule.text = valueText(afterOp);
        rule.numeric = parseNumber(rule.text, rule.number);
        if (!rule.numeric && *op != Op::Equal && *op != Op::NotEqual)
            fail("\"" + rule.text + "\" is not a number (" + words[1] + " compares numbers)");
    }

    void finishRule()
    {
        if (!current)
            return;
        const Rule& rule = *current;
        if (!seen.count("when"))
            throw RulesError(source + ":" + std::to_string(rule.line) + ": rule " + rule.name + " has no \"when\"");
        bool limit = rule.kind == ConditionKind::Inside || rule.kind == ConditionKind::Outside ||
                     (rule.kind == ConditionKind::Compare && rule.op != Op::Equal && rule.op != Op::NotEqual);
        if (rule.deadband > 0 && !limit)
            throw RulesError(source + ":" + std::to_string(deadbandLine) +
                             ": deadband needs a numeric limit (<, <=, "
                             ">, >=, in, outside) in rule " +
                             rule.name);
        if (rule.kind == ConditionKind::Outside && rule.deadband * 2 > rule.high - rule.low)
            throw RulesError(source + ":" + std::to_string(deadbandLine) +
                             ": deadband wider than half the range in rule " + rule.name);
        current = nullptr;
    }

    std::string source;
    RuleSet set;
    Rule* current = nullptr;
    int lineNo = 0;
    int deadbandLine = 0;
    std::set<std::string> names;
    std::set<std::string> seen;  // keywords of the current rule that may appear once
};

}  // namespace

RuleSet parseRules(const std::string& text, const std::string& source)
{
    return Parser(source).parse(text);
}

RuleSet loadRules(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        throw RulesError(path + ": " + std::strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        throw RulesError(path + ": not a regular file");
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int error = errno;
            close(fd);
            throw RulesError(path + ": " + std::strerror(error));
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > kMaxRulesFileBytes) {
            close(fd);
            throw RulesError(path + ": larger than " + std::to_string(kMaxRulesFileBytes) + " bytes");
        }
    }
    close(fd);
    return parseRules(text, path);
}

}  // namespace corvo::alarmd
