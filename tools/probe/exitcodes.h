#pragma once

// strovik-probe's exit statuses, one per kind of failure, so a script can
// tell them apart (and the tests check each).

namespace Strovik::Probe {

enum ExitCode : int
{
    kExitOk = 0,
    kExitBadArguments = 2,
    kExitNoBundle = 3,       // no such path, or no bundle installed
    kExitNotAModule = 4,     // not a VST 3 module (or a bundle without its library)
    kExitNoCaptureClass = 5, // a VST 3 module without the "Strovik Capture" processor
    kExitPluginFailed = 6,   // the processor refused initialize or setup
    kExitOutputFailed = 7,   // the WAV file could not be written
    kExitSpectrogramFailed = 8,
};

} // namespace Strovik::Probe
