// A daemon whose values test how the operator tool shows them: doubles too
// small or too precise for six decimals, a list of doubles, an "alarms"
// list as corvo-alarmd publishes it but with a peer's junk among the items,
// and, when CORVO_TEST_WIDE is set, a thousand short properties beside one
// 60,000-character value. Named with --name (gauge, alarmd, wide).
#include <cstdio>
#include <cstdlib>

#include "corvo/daemon.h"

namespace {

class DisplayDaemon : public corvo::Daemon {
public:
    DisplayDaemon() : Daemon("gauge")
    {
        createProperty("pressure", corvo::Property::DOUBLE, "mbar", "cryostat vacuum", false);
        createProperty("threshold", corvo::Property::DOUBLE, "mbar", "alarm threshold", true);
        createProperty("spectrum", corvo::Property::DOUBLE_LIST, "flux", false);
        createProperty("alarms", corvo::Property::STR_LIST, "alarms", false);
        properties.at("pressure")->setValue(2.5e-7);
        properties.at("threshold")->setValue(1e-5);
        properties.at("spectrum")->doubleList = {1e-9, 0.1, 2.5, 1234567.125};
        properties.at("alarms")->strList = {
            // C1 (CSI) and DEL, then a raw tab, inside strings (protobuf lets
            // no invalid UTF-8 through).
            "{\"rule\":\"r1\xc2\x9b"
            "2J\x7f\",\"state\":\"active\",\"severity\":\"major\"}",
            "{not json at all}",
            "{\"rule\":\"r2\",\"state\":\"shelved\",\"severity\":\"minor\",\"note\":\"tab\there\",\"value\":\"1.5\","
            "\"nested\":[1,-2.5e3,"
            "{\"x\":null}],\"ok\":true,\"actions\":[{\"peer\":\"dome\",\"command\":\"close\",\"outcome\":"
            "\"refused: \\\"}\\\" is no angle\"},{\"peer\":\"lamp\",\"command\":\"off\",\"outcome\":\"done\"}]}",
            "{\"rule\":\"r3\"} trailing",
            "{\"rule\":\"r4\",\"state\":\"active\"",
            "{\"rule\":\"r5\",\"bad\":01}",
        };
        if (std::getenv("CORVO_TEST_WIDE")) {
            char name[16];
            for (int i = 0; i < 1000; ++i) {
                std::snprintf(name, sizeof name, "p%04d", i);
                createProperty(name, corvo::Property::STRING, "x", false);
                properties.at(name)->setValue(std::string("v"));
            }
            createProperty("big", corvo::Property::STRING, "x", false);
            properties.at("big")->setValue(std::string(60000, '#'));
        }
    }
};

}  // namespace

int main(int argc, char** argv)
{
    DisplayDaemon daemon;
    return daemon.run(argc, argv) == 0 ? 0 : 1;
}
