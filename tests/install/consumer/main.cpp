// A program outside the project, built against an installed library.
#include <corvo/app.h>
#include <corvo/property.h>
#include <corvo/version.h>

#include <cstdio>

static_assert(CORVO_SOVERSION == CORVO_VERSION_MAJOR, "the ABI version follows the major version");

int main()
{
    corvo::Property width("width", corvo::Property::INT, "image width", true, nullptr, "px");
    width.setValue(640L);
    corvo::Property copy(width.serialize());
    if (copy.toString() != "640") {
        std::fprintf(stderr, "unexpected value %s\n", copy.toString().c_str());
        return 1;
    }
    // The headers and the library the program runs with are the same version.
    corvo::App app("consumer");
    if (app.version() != "corvo v" CORVO_VERSION_STRING) {
        std::fprintf(stderr, "library %s, headers %s\n", app.version().c_str(), CORVO_VERSION_STRING);
        return 1;
    }
    return 0;
}
