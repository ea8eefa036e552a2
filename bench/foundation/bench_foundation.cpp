// Costs the daemon pays per property change, per peer Info and per record.
#include <benchmark/benchmark.h>

#include "corvo/command.h"
#include "corvo/message.h"
#include "corvo/network.h"
#include "corvo/property.h"

using namespace corvo;

namespace {

// Does what the network does with a change, short of handing it to zyre:
// build the record, serialise it and frame it.
class QuietOwner : public PropertyOwner {
public:
    void publish(const Property& property) override
    {
        zmsg_t* msg = ProtobufToZMsg(property.genPropertyChangePB());
        benchmark::DoNotOptimize(msg);
        zmsg_destroy(&msg);
    }
};

Property intProperty(PropertyOwner* owner)
{
    Property p("binning", Property::INT, "pixel binning", true, owner, "px");
    p.addChoice(1, "1x1");
    p.addChoice(2, "2x2");
    p.addChoice(4, "4x4");
    return p;
}

void BM_PropertyChangeEndToEnd(benchmark::State& state)
{
    QuietOwner owner;
    Property p("exposure", Property::DOUBLE, "exposure time", true, &owner, "s");
    double v = 0;
    for (auto _ : state) {
        p.setValue(v);
        v += 0.5;
    }
}
BENCHMARK(BM_PropertyChangeEndToEnd);

void BM_IntChoicePropertyChangeEndToEnd(benchmark::State& state)
{
    QuietOwner owner;
    Property p = intProperty(&owner);
    long v = 0;
    for (auto _ : state) {
        p.setValue(1L << (v++ & 1));
    }
}
BENCHMARK(BM_IntChoicePropertyChangeEndToEnd);

void BM_GenPropertyChangePB(benchmark::State& state)
{
    Property p("exposure", Property::DOUBLE, "exposure time", true, nullptr, "s");
    for (auto _ : state) {
        benchmark::DoNotOptimize(p.genPropertyChangePB());
    }
}
BENCHMARK(BM_GenPropertyChangePB);

void BM_SerializeChange(benchmark::State& state)
{
    Property p("exposure", Property::DOUBLE, "exposure time", true, nullptr, "s");
    proto::PropertyChange change = p.genPropertyChangePB();
    for (auto _ : state) {
        benchmark::DoNotOptimize(change.SerializeAsString());
    }
}
BENCHMARK(BM_SerializeChange);

void BM_FrameBytes(benchmark::State& state)
{
    std::string bytes(40, 'x');
    for (auto _ : state) {
        zmsg_t* msg = ProtobufToZMsg(bytes, MSG_PROPERTY_CHANGE);
        benchmark::DoNotOptimize(msg);
        zmsg_destroy(&msg);
    }
}
BENCHMARK(BM_FrameBytes);

void BM_PropertyFromRecord(benchmark::State& state)
{
    proto::Property record = intProperty(nullptr).serialize();
    for (auto _ : state) {
        Property p(record);
        benchmark::DoNotOptimize(p);
    }
}
BENCHMARK(BM_PropertyFromRecord);

void BM_CreateInfo100Properties20Commands(benchmark::State& state)
{
    std::vector<Property> properties;
    for (int i = 0; i < 100; ++i) {
        switch (i % 4) {
            case 0:
                properties.push_back(intProperty(nullptr));
                break;
            case 1:
                properties.emplace_back("exposure" + std::to_string(i), Property::DOUBLE, "exposure time", true,
                                        nullptr, "s");
                break;
            case 2: {
                Property s("file" + std::to_string(i), Property::STRING, "file name", true, nullptr);
                s.strValue = "/data/images/img_0001.fits";
                properties.push_back(s);
                break;
            }
            default: {
                Property l("list" + std::to_string(i), Property::INT_LIST, "window", false, nullptr);
                l.intList = {0, 0, 1024, 1024};
                properties.push_back(l);
            }
        }
    }
    std::vector<CommandDef> commands(20);
    for (int i = 0; i < 20; ++i) {
        commands[i].name = "command" + std::to_string(i);
        commands[i].description = "does something useful";
        commands[i].args = {{ARG_DOUBLE, "time"}, {ARG_STRING, "file"}};
    }
    std::map<unsigned int, std::string> status{{0, "idle"}, {1, "exposing"}, {2, "reading"}, {3, "error"}};
    for (auto _ : state) {
        proto::Info info = createInfo(properties, commands, status, 1);
        benchmark::DoNotOptimize(info);
    }
}
BENCHMARK(BM_CreateInfo100Properties20Commands);

}  // namespace

BENCHMARK_MAIN();
