#pragma once

// Where the diagnostic log lives and how its lines begin. The plug-in writes
// these lines; strovik-probe's log report and the tests read them back, so
// each text is declared here once and matched from here.

namespace Strovik::LogText {

inline constexpr char kPath[] = "/tmp/strovik.log";
inline constexpr char kPrefix[] = "[strovik] ";

// Main thread: the instance's PipeWire client coming and going.
inline constexpr char kSetup[] = "[strovik] setupPipeWire";
inline constexpr char kSetupDone[] = "[strovik] setupPipeWire done pwReady=1";
inline constexpr char kLoopFailed[] = "[strovik] setupPipeWire: pw_thread_loop_new failed";
inline constexpr char kContextFailed[] = "[strovik] setupPipeWire: pw_context_new failed";
inline constexpr char kConnectFailed[] = "[strovik] setupPipeWire: pw_context_connect failed";
inline constexpr char kShutdown[] = "[strovik] shutdownPipeWire";

// The instance's PipeWire loop thread: the server went away (crashed or
// restarted) and the plug-in is trying to reach it again; and it is back.
inline constexpr char kConnectionLost[] = "[strovik] PipeWire connection lost, reconnecting";
inline constexpr char kConnectionBack[] = "[strovik] PipeWire connection back";
// The instance's PipeWire loop thread: the server failed the capture stream
// while the connection stayed, and the stream is made anew; and it is open
// again. Once per series of such failures.
inline constexpr char kStreamFailed[] = "[strovik] PipeWire stream failed, opening it again";
inline constexpr char kStreamReopened[] = "[strovik] PipeWire stream open again";
inline constexpr char kShutdownNoLoop[] = "[strovik] shutdownPipeWire done (no loop)";

// The instance's PipeWire loop thread: what the capture stream is linked to.
// "capturing N other sources" follows the first text whenever N changes.
inline constexpr char kOwnOutputFeedsSink[] =
    "[strovik] own output feeds the default sink: capturing";
inline constexpr char kOwnOutputFeedsSinkEnd[] = "other sources";
// Once per capture stream, when the server has said which process the
// plug-in's client is: the host's processes, as the server numbers them,
// with their names, and why the list ends there.
inline constexpr char kHostProcesses[] = "[strovik] host processes:";
inline constexpr char kOwnOutputLeftSink[] =
    "[strovik] own output left the default sink: capturing its monitor";

// Host audio thread.
inline constexpr char kConnectStream[] = "[strovik] PROC connect stream";
inline constexpr char kTransportReset[] = "[strovik] PROC transport start, reset ring";
inline constexpr char kProcStatus[] = "[strovik] PROC t=";
inline constexpr char kProcAny[] = "[strovik] PROC";

// Host audio thread: the bridge between PipeWire's clock and the host's.
inline constexpr char kBridgeStatus[] = "[strovik] BRIDGE t=";
inline constexpr char kBridgeEngaged[] = "[strovik] BRIDGE engaged";
inline constexpr char kBridgeResync[] = "[strovik] BRIDGE resync";

// PipeWire's real-time data thread.
inline constexpr char kPwStatus[] = "[strovik] PW t=";
inline constexpr char kRingReset[] = "[strovik] writeRing RESET";

// Written by the log itself when a real-time thread produced lines faster
// than they could be written.
inline constexpr char kDropped[] = "[strovik] log:";

} // namespace Strovik::LogText
