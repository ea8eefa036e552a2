// A small device server: a filter wheel with a focuser.
//
// Properties, commands and status values are declared in the constructor;
// run() does the rest (options, configuration file, network, event loop).
// Initial values come from wheel.conf ("label = Ha" lines) in /etc/corvo,
// ~/.config/corvo or $CORVO_CONF_PATH.
// Try it:  corvo-example-daemon --site lab
//          corvo-example-client --site lab --target wheel --command "move 3 12.5"
#include <corvo/daemon.h>

#include <cmath>
#include <string>

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

        // getProperty finds a declared property (nullptr for a name that is
        // not); properties["..."] would insert an empty entry on a typo.
        getProperty("filters")->setValueString("L,R,G,B,Ha,OIII");
        // Limits: a change request outside them is refused with its reason,
        // before anything changes.
        getProperty("slot")->valueMin = 0L;
        getProperty("slot")->valueMax = 5L;

        addStatusStr(MOVING, "MOVING");
        addStatusStr(FAULT, "FAULT");

        // A command's argument types come from its handler's parameters (long,
        // double, bool, std::string), with one name each. Requests that do not
        // fit are refused with the reason before the handler runs.
        createCommand("move", [this](long slot, double focus) { move(slot, focus); }, "put a filter in and focus",
                      {"slot", "focus"});
        createCommand(
            "home", [this] { move(0, 0.0); }, "go to slot 0");
        // A safety command: on a secured site a lock never blocks it (the
        // access rules still decide who may run it).
        createCommand(
            "stop",
            [this] {
                logger->warn("stopped");
                changeStatus(0);  // IDLE
            },
            "stop the wheel and the focuser now");
        markSafetyCommand("stop");
    }

    // The focuser moves in steps of 0.01 mm: a requested position goes to
    // the nearest step. The daemon tells the requester what it applied, so
    // `corvo set wheel focus 12.344` prints 12.34.
    void onPropertyCommand(std::shared_ptr<corvo::Peer> peer, const corvo::proto::PropertyChange& change) override
    {
        if (change.name() != "focus" || !change.has_doubleval() || !(std::fabs(change.doubleval().value()) < 1e9))
            return Daemon::onPropertyCommand(peer, change);
        corvo::proto::PropertyChange stepped = change;
        stepped.mutable_doubleval()->set_value(std::round(change.doubleval().value() * kStepsPerMm) / kStepsPerMm);
        Daemon::onPropertyCommand(peer, stepped);
    }

private:
    static constexpr double kStepsPerMm = 100;

    void move(long slot, double focus)
    {
        const auto& names = getProperty("filters")->strList;
        if (slot < 0 || slot >= static_cast<long>(names.size())) {
            logger->warn("there is no slot {}", slot);
            changeStatus(FAULT);
            return;
        }
        logger->info("move {} {}", slot, focus);
        changeStatus(MOVING);
        // Every setValue is broadcast to the site's property group at once.
        getProperty("slot")->setValue(slot);
        getProperty("label")->setValue(names[slot]);
        getProperty("focus")->setValue(focus);
        changeStatus(0);  // IDLE
    }
};

int main(int argc, char** argv)
{
    FilterWheel wheel;
    return wheel.run(argc, argv) == 0 ? 0 : 1;
}
