#pragma once

#include "processancestry.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

// PipeWire's types stay out of this header, as they do out of the client's.
struct pw_core;
struct pw_loop;
struct pw_proxy;
struct pw_registry;
struct spa_dict;
struct spa_hook;
struct spa_source;

namespace Strovik {

class DiagnosticLog;

// Decides what the capture stream hears and links it accordingly. The
// plug-in runs inside the host, and a host that plays into the default sink
// would otherwise hear its own output (and the plug-in's track in it) come
// back through the sink's monitor. So:
//
//  - while no node of this process feeds the default sink, the stream is
//    linked to that sink's monitor ports, channel by channel, and follows
//    the sink when the default changes;
//  - while one does, the stream is linked instead to the output ports of
//    every other node that feeds the sink, mirroring their links into it
//    (PipeWire sums several links into one input port), and the set is kept
//    in step as players come and go.
//
// "The host" is the plug-in's own process and those of its ancestors that
// are the host's (processancestry.h), and a node is the host's when its
// client's process is one of them, as the server vouches for it: the
// pipewire.sec.pid the server takes from the socket's peer credentials, in
// its own pid namespace, and which no client can change. The plug-in's own
// process is the one of the capture stream's client. Clients that come
// through the PulseAudio bridge carry the bridge's pid there, and only the
// pid they report of themselves (application.process.id), which is a
// number in their own pid namespace: such a client is the host's only when
// the bridge does not mark it as sandboxed, its number is one of the
// host's processes and the program name it reports is that process's name
// (so a program of another namespace whose number happens to match is
// still captured, unless it also bears the same name).
//
// The stream is connected without autoconnect, so the session manager
// leaves it alone and every link into it is made here. The links are made
// with object.linger off: they go with this client, even when the process
// dies.
//
// Everything but the three getters runs on the instance's loop thread, or
// on the main thread with the thread loop's lock held.
class CaptureRouter
{
public:
    // How long a default-sink change, or the host's output leaving the sink,
    // holds back the removal of direct links and the return to the monitor.
    // The session manager moves the players (and the host's stream) only
    // after the default changes: removing their links at once would drop
    // and relink them a few milliseconds later, a quantum lost each time,
    // and the host's output leaving for a moment must not bring back a
    // monitor that carries it when it returns. Monitor links are never held.
    static constexpr int64_t kSettleNanos = 200 * 1000 * 1000;
    // How long a newly bound "default" metadata may stay silent about the
    // default sink before it is bound again, and how often that is tried
    // (a session manager with no sink at all never names one).
    // A session manager that has just started can announce the object
    // before it has filled it, and a bind that early was seen (PipeWire 1.4,
    // WirePlumber 0.5) never to hear the value set a moment later, though a
    // later bind does.
    static constexpr int64_t kMetadataQuietNanos = 500 * 1000 * 1000;
    static constexpr int kMetadataRebinds = 4;

    // `onCaptureFailed` is called (on the loop thread, from an event of the
    // router's) when the server reports the capture stream's node in its
    // error state: such a node is never scheduled again, its links stay
    // unready, and only a new stream captures again. The caller must not
    // destroy the stream from inside the call.
    CaptureRouter(DiagnosticLog& log, void (*onCaptureFailed)(void*), void* data);
    ~CaptureRouter();
    CaptureRouter(const CaptureRouter&) = delete;
    CaptureRouter& operator=(const CaptureRouter&) = delete;

    // Starts watching the graph through `core`'s registry. False when the
    // registry or the loop's sources could not be made (then nothing is
    // ever linked).
    bool start(pw_loop* loop, pw_core* core);
    // Destroys the links made, then every proxy and source. Idempotent.
    void stop();

    // The capture stream's node id, once the server has created it.
    void setCaptureNode(uint32_t nodeId);
    // Before the stream is destroyed: its links go first.
    void releaseCaptureNode();

    // Any thread. True while the stream takes its sources by direct links:
    // then it gets no callback at all while nothing else plays, and a
    // pause between packets is silence, not a slow clock.
    bool capturingDirect() const { return direct.load(std::memory_order_acquire); }
    // Any thread. True from the moment the host's own output reaches the
    // default sink while the stream still takes that sink's monitor, until
    // the server confirms the monitor links gone: what the stream receives
    // meanwhile may carry the host's output, and must not be heard.
    bool monitorMayCarryHost() const { return monitorUnconfirmed.load(std::memory_order_relaxed); }
    // Links made into the stream that still stand.
    uint32_t linkCount() const { return links.load(std::memory_order_acquire); }
    // Any thread. Rises with every link made into the stream or taken from
    // it: the packets that follow may keep another driver's cycle. Relaxed:
    // a number, not a way to publish anything else, and seen a packet later
    // it only tells the change a packet later.
    uint32_t linkChanges() const { return changes.load(std::memory_order_relaxed); }
    // Switches between the monitor and direct links since start; each drops
    // or inserts one quantum.
    uint32_t switchCount() const { return switches.load(std::memory_order_acquire); }

    struct Node;
    struct Port;
    struct Link;
    struct Client;
    struct MadeLink;
    struct Metadata;
    struct CaptureWatch;

private:
    using Pair = std::pair<uint32_t, uint32_t>; // output port, input port

    static void onGlobal(void* self, uint32_t id, uint32_t permissions, const char* type,
                         uint32_t version, const spa_dict* props);
    static void onGlobalRemove(void* self, uint32_t id);
    static void onCoreDone(void* self, uint32_t id, int seq);
    void global(uint32_t id, const char* type, const spa_dict* props);
    void globalRemove(uint32_t id);
    void bindClient(uint32_t id);
    void watchCaptureNode();
    void unwatchCaptureNode();
    void bindMetadata(uint32_t id);
    void rebindQuietMetadata();
    void clearMetadata();
    void setDefaultSink(const char* json);

    void scheduleUpdate();
    void update();
    bool isOwnNode(uint32_t nodeId) const;
    bool isHostProcess(const Client& client) const;
    void learnHost();
    uint32_t defaultSinkNode() const;
    void makeLink(const Pair& pair, bool monitor);
    void destroyLink(MadeLink& link);
    void destroyAllLinks();
    void armSettleTimer(int64_t nanos);
    void publishLinkCount();

    friend struct CaptureRouterEvents;

    DiagnosticLog& log;
    pw_loop* loop = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    std::unique_ptr<spa_hook> registryListener;
    std::unique_ptr<spa_hook> coreListener;
    // The server round trip that follows the removal of monitor links.
    int monitorRemovalSeq = 0;
    spa_source* updateEvent = nullptr;
    spa_source* settleTimer = nullptr;
    spa_source* metadataTimer = nullptr;
    int metadataRebindsLeft = 0;

    std::map<uint32_t, std::unique_ptr<Node>> nodes;
    std::map<uint32_t, std::unique_ptr<Port>> ports;
    std::map<uint32_t, std::unique_ptr<Link>> graphLinks;
    std::map<uint32_t, std::unique_ptr<Client>> clients;
    std::unique_ptr<Metadata> metadata;
    std::string defaultSinkName;

    std::map<Pair, std::unique_ptr<MadeLink>> made;
    // Pairs whose link the server refused or removed, not tried again until
    // the graph changes: a link that keeps failing must not be remade in a loop.
    std::set<Pair> failed;
    uint32_t captureNode;
    // The capture node as the server sees it: its state is how a stream the
    // server failed (while the stream itself reports nothing) is noticed.
    std::unique_ptr<CaptureWatch> captureWatch;
    void (*onCaptureFailed)(void*);
    void* onCaptureFailedData;
    // The host's processes, read once per capture node, when the server has
    // told which pid its client has.
    ProcessAncestry ancestry;
    std::vector<ProcessAncestry::Process> hostProcesses;
    int64_t settleUntil = 0;
    bool ownFed = false;
    uint32_t directSources = 0;

    std::atomic<bool> direct{false};
    // A lone flag that guards no other data, so relaxed on both sides: the
    // data thread only needs to see a store soon, and one reaches the other
    // core in far less than a cycle.
    std::atomic<bool> monitorUnconfirmed{false};
    std::atomic<uint32_t> links{0};
    std::atomic<uint32_t> changes{0};
    std::atomic<uint32_t> switches{0};
};

} // namespace Strovik
