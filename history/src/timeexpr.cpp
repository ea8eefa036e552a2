// Parsing of the time expressions that --since, --until and --every take.
#include "corvo/history/timeexpr.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <regex>

namespace corvo::history {

namespace {

// About 1000 years: durations beyond are typing errors.
constexpr double kMaxDurationMicros = 1000.0 * 366 * 86400 * 1e6;

std::optional<Micros> unitMicros(char unit)
{
    switch (unit) {
        case 's':
            return 1000000;
        case 'm':
            return 60LL * 1000000;
        case 'h':
            return 3600LL * 1000000;
        case 'd':
            return 86400LL * 1000000;
        case 'w':
            return 7LL * 86400 * 1000000;
        default:
            return std::nullopt;
    }
}

}  // namespace

std::optional<uint64_t> parseSize(const std::string& text)
{
    static const std::regex form(R"(([0-9]{1,19}(?:\.[0-9]{0,6})?)([KMGT]?))");
    std::smatch m;
    if (text.size() > 32 || !std::regex_match(text, m, form))
        return std::nullopt;
    const std::string unit = m[2].str();
    const double scale = unit.empty()  ? 1.0
                         : unit == "K" ? 1024.0
                         : unit == "M" ? 1048576.0
                         : unit == "G" ? 1073741824.0
                                       : 1099511627776.0;
    const double bytes = std::strtod(m[1].str().c_str(), nullptr) * scale;
    if (!(bytes <= 1e18))
        return std::nullopt;
    return static_cast<uint64_t>(bytes);
}

Micros nowMicros()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

std::optional<Micros> parseDuration(const std::string& text)
{
    // One or more "<number><unit>" parts; "ms" is milliseconds.
    static const std::regex part(R"(([0-9]+(?:\.[0-9]*)?|\.[0-9]+)(ms|[smhdw]))");
    if (text.empty() || text.size() > 64)
        return std::nullopt;
    double total = 0;
    auto begin = std::sregex_iterator(text.begin(), text.end(), part);
    size_t covered = 0;
    for (auto it = begin; it != std::sregex_iterator(); ++it) {
        if (static_cast<size_t>(it->position()) != covered)
            return std::nullopt;
        covered += it->length();
        double number = std::strtod((*it)[1].str().c_str(), nullptr);
        std::string unit = (*it)[2].str();
        double scale = unit == "ms" ? 1000.0 : static_cast<double>(*unitMicros(unit[0]));
        total += number * scale;
    }
    if (covered != text.size() || !(total >= 1) || total > kMaxDurationMicros)
        return std::nullopt;
    return static_cast<Micros>(std::llround(total));
}

std::optional<Micros> parseTimePoint(const std::string& text, Micros now)
{
    if (text == "now")
        return now;
    if (auto ago = parseDuration(text))
        return now - *ago;
    static const std::regex epoch(R"(@([0-9]{1,12})(\.[0-9]{1,6})?)");
    std::smatch m;
    if (std::regex_match(text, m, epoch)) {
        Micros t = std::stoll(m[1].str()) * 1000000;
        if (m[2].matched) {
            std::string frac = m[2].str().substr(1);
            frac.resize(6, '0');
            t += std::stoll(frac);
        }
        return t;
    }
    static const std::regex iso(
        R"(([0-9]{4})-([0-9]{2})-([0-9]{2})(?:[T ]([0-9]{2}):([0-9]{2})(?::([0-9]{2})(\.[0-9]{1,6})?)?)?)"
        R"((Z|[+-][0-9]{2}:?[0-9]{2})?)");
    if (!std::regex_match(text, m, iso))
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = std::stoi(m[1].str()) - 1900;
    tm.tm_mon = std::stoi(m[2].str()) - 1;
    tm.tm_mday = std::stoi(m[3].str());
    tm.tm_hour = m[4].matched ? std::stoi(m[4].str()) : 0;
    tm.tm_min = m[5].matched ? std::stoi(m[5].str()) : 0;
    tm.tm_sec = m[6].matched ? std::stoi(m[6].str()) : 0;
    if (tm.tm_year < 70 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return std::nullopt;
    int mday = tm.tm_mday;
    std::time_t seconds;
    if (m[8].matched) {
        seconds = timegm(&tm);
        std::string zone = m[8].str();
        if (zone != "Z") {
            std::string digits = zone.substr(1);
            digits.erase(std::remove(digits.begin(), digits.end(), ':'), digits.end());
            int offset = std::stoi(digits.substr(0, 2)) * 3600 + std::stoi(digits.substr(2, 2)) * 60;
            seconds -= zone[0] == '+' ? offset : -offset;
        }
    } else {
        tm.tm_isdst = -1;
        seconds = std::mktime(&tm);
    }
    if (seconds == static_cast<std::time_t>(-1) || tm.tm_mday != mday)
        return std::nullopt;  // 2026-02-31 and the like
    Micros t = static_cast<Micros>(seconds) * 1000000;
    if (m[7].matched) {
        std::string frac = m[7].str().substr(1);
        frac.resize(6, '0');
        t += std::stoll(frac);
    }
    return t;
}

}  // namespace corvo::history
