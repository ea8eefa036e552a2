// A small device server: a filter wheel with a focuser.
//
// Properties, commands and status values are declared in the constructor;
// run() does the rest (options, configuration file, network, event loop).
// Initial values come from wheel.conf ("label = Ha" lines) in /etc/corvo,
// ~/.config/corvo or $CORVO_CONF_PATH.
// Try it:  corvo-example-daemon --site lab
//          corvo-example-client --site lab --target wheel --command "move 3 12.5"
#include <corvo/daemon.h>
#include <corvo/misc.h>

#include <string>
#include <vector>

class FilterWheel : public corvo::Daemon {
public:
    enum Status { MOVING = 1, FAULT = 2 };

    FilterWheel() : Daemon("wheel")
    {
        // One property of each type. Peers may change the writable ones.
        createProperty("slot", corvo::Property::INT, "filter slot in the beam", true);
        createProperty("focus", corvo::Property::DOUBLE, "mm", "focuser position", true);
        createProperty("label", corvo::Property::STRING, "name of the current filter", true);
        createProperty("filters", corvo::Property::STR_LIST, "filter names by slot", false);
        createProperty("offsets", corvo::Property::INT_LIST, "steps", "focus offsets by slot", false);
        createProperty("temps", corvo::Property::DOUBLE_LIST, "C", "motor temperatures", false);

        properties["filters"]->setValueString("L,R,G,B,Ha,OIII");
        // Limits: a change request outside them is refused with its reason,
        // before anything changes.
        properties["slot"]->valueMin = 0L;
        properties["slot"]->valueMax = 5L;

        addStatusStr(MOVING, "MOVING");
        addStatusStr(FAULT, "FAULT");

        // A command receives its arguments as text and converts them itself;
        // corvo::CorvoArgError makes the daemon log "Wrong argument".
        createCommand(
            "move", [this](std::vector<std::string> args) { move(args); }, "put a filter in and focus", 2,
            corvo::ARG_INT, "slot", corvo::ARG_DOUBLE, "focus");
        createCommand(
            "home",
            [this](std::vector<std::string>) {
                move({"0", "0"});
            },
            "go to slot 0");
        // A safety command: on a secured site a lock never blocks it (the
        // access rules still decide who may run it).
        createCommand(
            "stop",
            [this](std::vector<std::string>) {
                logger->warn("stopped");
                changeStatus(0);  // IDLE
            },
            "stop the wheel and the focuser now");
        markSafetyCommand("stop");
    }

private:
    void move(const std::vector<std::string>& args)
    {
        long slot;
        double focus;
        try {
            slot = std::stol(args[0]);
            focus = std::stod(args[1]);
        } catch (const std::exception&) {
            throw corvo::CorvoArgError();
        }
        const auto& names = properties["filters"]->strList;
        if (slot < 0 || slot >= static_cast<long>(names.size())) {
            logger->warn("there is no slot {}", slot);
            changeStatus(FAULT);
            return;
        }
        logger->info("move {} {}", args[0], args[1]);
        changeStatus(MOVING);
        // Every setValue is broadcast to the site's property group at once.
        properties["slot"]->setValue(slot);
        properties["label"]->setValue(names[slot]);
        properties["focus"]->setValue(focus);
        changeStatus(0);  // IDLE
    }
};

int main(int argc, char** argv)
{
    FilterWheel wheel;
    return wheel.run(argc, argv) == 0 ? 0 : 1;
}
