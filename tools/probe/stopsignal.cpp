#include "stopsignal.h"

#include <csignal>

namespace Strovik::Probe {

namespace {

volatile std::sig_atomic_t requested = 0;

void onSignal(int signal)
{
    requested = signal;
}

} // namespace

void installStopHandlers()
{
    struct sigaction action
    {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

int stopSignal()
{
    return requested;
}

} // namespace Strovik::Probe
