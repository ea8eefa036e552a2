// The floor of the idle benchmark: a bare libuv loop whose 5 ms repeating
// timer does nothing, i.e. the least a program with 200 turns a second costs.
// With the argument "zmq" it also starts libzmq (its I/O thread) and watches
// a socket's descriptor from the loop, as a daemon waits for its node: the
// least such a program costs.
#include <uv.h>
#include <zmq.h>

#include <cstring>

int main(int argc, char** argv)
{
    uv_loop_t* loop = uv_default_loop();
    uv_timer_t timer;
    uv_timer_init(loop, &timer);
    uv_timer_start(
        &timer, [](uv_timer_t*) {}, 5, 5);
    void* context = nullptr;
    void* socket = nullptr;
    uv_poll_t watch;
    if (argc > 1 && std::strcmp(argv[1], "zmq") == 0) {
        context = zmq_ctx_new();
        socket = zmq_socket(context, ZMQ_PAIR);
        if (!socket || zmq_bind(socket, "inproc://idle-floor") != 0)
            return 1;
        int fd = -1;
        size_t size = sizeof fd;
        zmq_getsockopt(socket, ZMQ_FD, &fd, &size);
        uv_poll_init(loop, &watch, fd);
        uv_poll_start(&watch, UV_READABLE, [](uv_poll_t*, int, int) {});
    }
    const int rc = uv_run(loop, UV_RUN_DEFAULT);
    if (socket)
        zmq_close(socket);
    if (context)
        zmq_ctx_term(context);
    return rc;
}
