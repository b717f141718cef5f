// The benchmark's reference: the smallest libev program with the client's
// fixed event sources, one 2 s repeating timer and a SIGINT watcher. Its
// memory, system calls and CPU time are the floor the client is measured
// against; it is built and linked the same way as the client.

#include <csignal>
#include <ev.h>

static void onTick(struct ev_loop * /*loop*/, ev_timer * /*timer*/, int /*revents*/) {}

static void onSigint(struct ev_loop *loop, ev_signal * /*watcher*/, int /*revents*/)
{
    ev_break(loop, EVBREAK_ALL);
}

int main()
{
    struct ev_loop *loop = ev_default_loop(0);
    ev_timer tick;
    ev_timer_init(&tick, onTick, 2., 2.);
    ev_timer_start(loop, &tick);
    ev_signal sigint;
    ev_signal_init(&sigint, onSigint, SIGINT);
    ev_signal_start(loop, &sigint);
    ev_run(loop, 0);
    return 0;
}
