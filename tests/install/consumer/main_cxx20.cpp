// A C++20 program built by hand: its own -std=c++20 comes first and
// pkg-config's flags after it, as in a plain Makefile or in Meson. The
// installed flags must not lower the standard the program asked for.
#include <corvo/property.h>

#include <cstdio>

static_assert(__cplusplus >= 202002L, "pkg-config --cflags corvo lowered the C++ standard");

int main()
{
    corvo::Property gain("gain", corvo::Property::INT, "detector gain", true, nullptr, "");
    gain.setValue(2L);
    if (gain.toString() != "2") {
        std::fprintf(stderr, "unexpected value %s\n", gain.toString().c_str());
        return 1;
    }
    return 0;
}
