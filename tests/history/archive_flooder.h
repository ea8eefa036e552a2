// What the flooding peer of the flood test sends, shared with the test.
#pragma once

#include <cstdint>
#include <string>

// The label of change i: every third one with a NUL byte, every other one
// with an accented letter, so that both ways of cleaning a text are crossed.
inline std::string floodLabel(int64_t i)
{
    std::string text = "v" + std::to_string(i);
    if (i % 3 == 0)
        text += std::string("\0z", 2);
    if (i % 2 == 0)
        text += " \xc3\xa9";
    return text;
}
