// A program outside the project, built against an installed library.
#include <corvo/property.h>

#include <cstdio>

int main()
{
    corvo::Property width("width", corvo::Property::INT, "image width", true, nullptr, "px");
    width.setValue(640L);
    corvo::Property copy(width.serialize());
    if (copy.toString() != "640") {
        std::fprintf(stderr, "unexpected value %s\n", copy.toString().c_str());
        return 1;
    }
    return 0;
}
