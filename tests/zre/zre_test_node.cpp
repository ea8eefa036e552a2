// A node that runs until it is killed: the peer of the tests that need a
// node in a process of its own.
//   zre_test_node NAME INTERFACE PORT [BEACON_INTERVAL_MS]
#include <zyre.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 4 && argc != 5)
        return 2;
    zyre_t* node = zyre_new(argv[1]);
    zyre_set_interface(node, argv[2]);
    zyre_set_port(node, std::atoi(argv[3]));
    zyre_set_interval(node, argc == 5 ? size_t(std::atol(argv[4])) : 100);
    if (zyre_start(node) != 0)
        return 1;
    // Reads and drops events so the node never backs up. SIGTERM may reach
    // any thread of the process: the flag is checked between short waits.
    while (!zsys_interrupted) {
        zmq_pollitem_t item = {zsock_resolve(zyre_socket(node)), 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, 100) <= 0)
            continue;
        zyre_event_t* event = zyre_event_new(node);
        zyre_event_destroy(&event);
    }
    zyre_destroy(&node);
    return 0;
}
