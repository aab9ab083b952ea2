#pragma once

// Ctrl-C (SIGINT) and SIGTERM end the run early but cleanly: the handler
// only records the signal, and the capture loop checks it after every
// block. A second signal of the same kind gets the default action, so a
// probe stuck somewhere can still be stopped.

namespace Strovik::Probe {

void installStopHandlers();
// The signal that asked to stop, or 0.
int stopSignal();

} // namespace Strovik::Probe
