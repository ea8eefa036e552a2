// The floor of the idle benchmark: a bare libuv loop whose 5 ms repeating
// timer does nothing, i.e. the least a program with 200 turns a second costs.
#include <uv.h>

int main()
{
    uv_loop_t* loop = uv_default_loop();
    uv_timer_t timer;
    uv_timer_init(loop, &timer);
    uv_timer_start(
        &timer, [](uv_timer_t*) {}, 5, 5);
    return uv_run(loop, UV_RUN_DEFAULT);
}
