#pragma once

namespace Strovik {

// The client configuration that gives the capture stream's data thread
// real-time priority, for the PipeWire library `libraryVersion` (as
// pw_get_library_version() reports it, e.g. "1.4.2"). Before 1.3.81 only
// "client-rt.conf" loads the real-time module; from then on the default
// client.conf does, and asking for client-rt.conf only earns a deprecation
// warning on the host's terminal. nullptr means "leave the default": also
// for a version that cannot be read, which can only be a newer library.
const char* realtimeClientConfig(const char* libraryVersion);

} // namespace Strovik
