// libFuzzer target: the alarm rules parser. Whatever a file holds, parsing
// either yields rules or throws RulesError with a line; rules it yields can
// be driven by values, commands and time without failing.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine.h"
#include "rules.h"

using namespace corvo::alarmd;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    RuleSet set;
    try {
        set = parseRules(text, "fuzz");
    } catch (const RulesError& e) {
        if (std::string(e.what()).rfind("fuzz", 0) != 0)
            __builtin_trap();  // an error that does not name its source
        return 0;
    }
    Engine engine(set, 1000);
    double t = 1000;
    for (const Rule& rule : engine.rules()) {
        Observation o;
        o.numeric = rule.numeric;
        o.number = rule.number + 1;
        o.text = rule.text;
        engine.propertyValue(rule.peer, rule.property, o, t += 0.5);
        engine.peerStatus(rule.peer, 1, rule.text, t);
        engine.peerPresence(rule.peer, false, t);
        engine.tick(t += rule.delaySeconds + rule.forSeconds + 1);
        engine.ack(rule.name, "fuzz", t);
        engine.shelve(rule.name, set.maxShelveSeconds, "r", "fuzz", t);
        engine.toJson(engine.rules().size() - 1);
    }
    engine.tick(t + set.maxShelveSeconds + 1);
    engine.takeTransitions();
    return 0;
}
