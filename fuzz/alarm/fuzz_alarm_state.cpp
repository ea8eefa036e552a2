// libFuzzer target: the alarm state file reader. Every entry it accepts is
// written back and read again identically, and restoring it cannot fail.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine.h"
#include "persist.h"

using namespace corvo::alarmd;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t skipped = 0;
    auto saved = parseState(text, skipped);
    size_t again = 0;
    auto back = parseState(formatState(saved), again);
    if (again != 0 || back.size() != saved.size())
        __builtin_trap();
    for (size_t i = 0; i < saved.size(); ++i)
        if (back[i].rule != saved[i].rule || back[i].by != saved[i].by || back[i].note != saved[i].note ||
            back[i].state != saved[i].state)
            __builtin_trap();
    Engine engine(parseRules("rule a\n when p.x > 1\nrule b\n when p gone for 1s\n", "s"), 1000);
    engine.restore(saved, 1000);
    engine.tick(2000);
    return 0;
}
