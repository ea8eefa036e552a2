// A daemon named "mount" whose properties the camera test puts into header
// cards and file names.
#include "corvo/daemon.h"

namespace {

class MountDaemon : public corvo::Daemon {
public:
    MountDaemon() : Daemon("mount")
    {
        createProperty("object", corvo::Property::STRING, "target name", false);
        createProperty("airmass", corvo::Property::DOUBLE, "airmass", false);
        createProperty("steps", corvo::Property::INT, "encoder steps", false);
        createProperty("tags", corvo::Property::STR_LIST, "labels", false);
        properties.at("object")->setValue(std::string("M31"));
        properties.at("airmass")->setValue(1.25);
        properties.at("steps")->setValue((1L << 32) + 5);
        properties.at("tags")->setValueString("a,b");
    }
};

}  // namespace

int main(int argc, char** argv)
{
    MountDaemon daemon;
    return daemon.run(argc, argv) == 0 ? 0 : 1;
}
