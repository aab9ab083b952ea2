// What the capture stream hears: the default sink's monitor, or, while the
// host itself plays into that sink, everything else that feeds it.

#include "capturerouter.h"

#include "diagnosticlog.h"
#include "monotonicclock.h"

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/utils/json.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace Strovik {

namespace {

constexpr const char* kDefaultMetadata = "default";
constexpr const char* kDefaultSinkKey = "default.audio.sink";

uint32_t idFrom(const spa_dict* props, const char* key)
{
    const char* value = props ? spa_dict_lookup(props, key) : nullptr;
    if (!value || !*value)
        return SPA_ID_INVALID;
    char* end = nullptr;
    const unsigned long id = std::strtoul(value, &end, 10);
    return (*end == '\0' && id < SPA_ID_INVALID) ? static_cast<uint32_t>(id) : SPA_ID_INVALID;
}

std::string textFrom(const spa_dict* props, const char* key)
{
    const char* value = props ? spa_dict_lookup(props, key) : nullptr;
    return value ? value : "";
}

pid_t pidFrom(const spa_dict* props, const char* key)
{
    const uint32_t pid = idFrom(props, key);
    return pid != SPA_ID_INVALID && pid <= uint32_t(INT32_MAX) ? static_cast<pid_t>(pid) : 0;
}

// How the PulseAudio bridge names itself in its clients' properties, and
// how the server and the bridge mark a client in a Flatpak sandbox (the
// names of 0.3 and of 1.x).
constexpr const char* kPulseBridgeApi = "pipewire-pulse";
constexpr const char* kAccessKey = "pipewire.access";
constexpr const char* kClientAccessKey = "pipewire.client.access";
constexpr const char* kSandboxAccess = "flatpak";
constexpr const char* kPortalAppIdKey = "pipewire.access.portal.app_id";

// The process name as /proc shows it: the first 15 characters of the
// program's file name.
std::string processName(const std::string& binary)
{
    const size_t slash = binary.rfind('/');
    return binary.substr(slash == std::string::npos ? 0 : slash + 1, 15);
}

} // namespace

struct CaptureRouter::Node
{
    uint32_t clientId = SPA_ID_INVALID;
    std::string name;
    std::string mediaClass;
};

struct CaptureRouter::Port
{
    uint32_t nodeId = SPA_ID_INVALID;
    bool output = false;
    bool monitor = false;
    std::string channel;
};

struct CaptureRouter::Link
{
    uint32_t outNode = SPA_ID_INVALID;
    uint32_t outPort = SPA_ID_INVALID;
    uint32_t inNode = SPA_ID_INVALID;
    uint32_t inPort = SPA_ID_INVALID;
};

// A client bound for its info: the registry's own record of a client does
// not carry the process id, only the client's info does.
struct CaptureRouter::Client
{
    CaptureRouter* router = nullptr;
    pw_proxy* proxy = nullptr;
    spa_hook clientListener{};
    spa_hook proxyListener{};
    bool known = false;
    // The server's own record of the peer's process (0 when it has none).
    pid_t serverPid = 0;
    // A client of the PulseAudio bridge: serverPid is the bridge's, and the
    // program's own process is only what it reports, in its own namespace.
    bool bridged = false;
    pid_t reportedPid = 0;
    std::string reportedBinary;
    // The bridge found the program in a sandbox.
    bool sandboxed = false;
};

struct CaptureRouter::MadeLink
{
    CaptureRouter* router = nullptr;
    pw_proxy* proxy = nullptr;
    spa_hook proxyListener{};
    bool monitor = false;
    // The server removed it or refused to make it; the proxy goes at the
    // next update, outside the proxy's own event.
    bool gone = false;
};

struct CaptureRouter::Metadata
{
    CaptureRouter* router = nullptr;
    uint32_t id = SPA_ID_INVALID;
    pw_proxy* proxy = nullptr;
    spa_hook metadataListener{};
    spa_hook proxyListener{};
    // Whether this binding has said anything of the default sink yet.
    bool heardDefaultSink = false;
};

// The capture node, bound for its info: the registry says nothing of a
// node's state.
struct CaptureRouter::CaptureWatch
{
    CaptureRouter* router = nullptr;
    pw_proxy* proxy = nullptr;
    spa_hook nodeListener{};
    spa_hook proxyListener{};
    // Reported once per node: a failed node stays failed.
    bool failed = false;
};

// The event tables, kept apart from the class so its header needs none of
// PipeWire's types.
struct CaptureRouterEvents
{
    static void clientInfo(void* data, const pw_client_info* info)
    {
        auto* client = static_cast<CaptureRouter::Client*>(data);
        if (!info || !(info->change_mask & PW_CLIENT_CHANGE_MASK_PROPS))
            return;
        const spa_dict* props = info->props;
        client->serverPid = pidFrom(props, PW_KEY_SEC_PID);
        client->bridged = textFrom(props, PW_KEY_CLIENT_API) == kPulseBridgeApi;
        client->reportedPid = pidFrom(props, PW_KEY_APP_PROCESS_ID);
        client->reportedBinary = textFrom(props, PW_KEY_APP_PROCESS_BINARY);
        client->sandboxed = textFrom(props, kAccessKey) == kSandboxAccess ||
                            textFrom(props, kClientAccessKey) == kSandboxAccess ||
                            !textFrom(props, kPortalAppIdKey).empty();
        client->known = true;
        client->router->scheduleUpdate();
    }

    static void clientProxyDestroyed(void* data)
    {
        // Destroyed under us (the connection went): never destroy it again.
        auto* client = static_cast<CaptureRouter::Client*>(data);
        spa_hook_remove(&client->clientListener);
        spa_hook_remove(&client->proxyListener);
        client->proxy = nullptr;
    }

    static void linkRemoved(void* data)
    {
        auto* link = static_cast<CaptureRouter::MadeLink*>(data);
        link->gone = true;
        link->router->scheduleUpdate();
    }

    static void linkError(void* data, int, int, const char*) { linkRemoved(data); }

    static void linkProxyDestroyed(void* data)
    {
        auto* link = static_cast<CaptureRouter::MadeLink*>(data);
        spa_hook_remove(&link->proxyListener);
        link->proxy = nullptr;
        link->gone = true;
    }

    static int metadataProperty(void* data, uint32_t subject, const char* key, const char*,
                                const char* value)
    {
        auto* metadata = static_cast<CaptureRouter::Metadata*>(data);
        if (subject != PW_ID_CORE)
            return 0;
        // A null key clears every property of the subject.
        if (!key || std::strcmp(key, kDefaultSinkKey) == 0)
        {
            metadata->heardDefaultSink = true;
            metadata->router->setDefaultSink(value);
        }
        return 0;
    }

    static void metadataProxyDestroyed(void* data)
    {
        auto* metadata = static_cast<CaptureRouter::Metadata*>(data);
        spa_hook_remove(&metadata->metadataListener);
        spa_hook_remove(&metadata->proxyListener);
        metadata->proxy = nullptr;
    }

    static void captureNodeInfo(void* data, const pw_node_info* info)
    {
        auto* watch = static_cast<CaptureRouter::CaptureWatch*>(data);
        if (!info || !(info->change_mask & PW_NODE_CHANGE_MASK_STATE) ||
            info->state != PW_NODE_STATE_ERROR || watch->failed)
            return;
        watch->failed = true;
        CaptureRouter* router = watch->router;
        if (router->onCaptureFailed)
            router->onCaptureFailed(router->onCaptureFailedData);
    }

    static void captureProxyDestroyed(void* data)
    {
        auto* watch = static_cast<CaptureRouter::CaptureWatch*>(data);
        spa_hook_remove(&watch->nodeListener);
        spa_hook_remove(&watch->proxyListener);
        watch->proxy = nullptr;
    }

    static const pw_node_events& captureNode()
    {
        static const pw_node_events events = [] {
            pw_node_events e{};
            e.version = PW_VERSION_NODE_EVENTS;
            e.info = captureNodeInfo;
            return e;
        }();
        return events;
    }

    static const pw_proxy_events& captureProxy()
    {
        static const pw_proxy_events events = [] {
            pw_proxy_events e{};
            e.version = PW_VERSION_PROXY_EVENTS;
            e.destroy = captureProxyDestroyed;
            return e;
        }();
        return events;
    }

    static const pw_client_events& client()
    {
        static const pw_client_events events = [] {
            pw_client_events e{};
            e.version = PW_VERSION_CLIENT_EVENTS;
            e.info = clientInfo;
            return e;
        }();
        return events;
    }

    static const pw_proxy_events& clientProxy()
    {
        static const pw_proxy_events events = [] {
            pw_proxy_events e{};
            e.version = PW_VERSION_PROXY_EVENTS;
            e.destroy = clientProxyDestroyed;
            return e;
        }();
        return events;
    }

    static const pw_proxy_events& linkProxy()
    {
        static const pw_proxy_events events = [] {
            pw_proxy_events e{};
            e.version = PW_VERSION_PROXY_EVENTS;
            e.destroy = linkProxyDestroyed;
            e.removed = linkRemoved;
            e.error = linkError;
            return e;
        }();
        return events;
    }

    static const pw_metadata_events& metadata()
    {
        static const pw_metadata_events events = [] {
            pw_metadata_events e{};
            e.version = PW_VERSION_METADATA_EVENTS;
            e.property = metadataProperty;
            return e;
        }();
        return events;
    }

    static const pw_proxy_events& metadataProxy()
    {
        static const pw_proxy_events events = [] {
            pw_proxy_events e{};
            e.version = PW_VERSION_PROXY_EVENTS;
            e.destroy = metadataProxyDestroyed;
            return e;
        }();
        return events;
    }

    static const pw_core_events& core()
    {
        static const pw_core_events events = [] {
            pw_core_events e{};
            e.version = PW_VERSION_CORE_EVENTS;
            e.done = CaptureRouter::onCoreDone;
            return e;
        }();
        return events;
    }

    static const pw_registry_events& registry()
    {
        static const pw_registry_events events = [] {
            pw_registry_events e{};
            e.version = PW_VERSION_REGISTRY_EVENTS;
            e.global = CaptureRouter::onGlobal;
            e.global_remove = CaptureRouter::onGlobalRemove;
            return e;
        }();
        return events;
    }
};

CaptureRouter::CaptureRouter(DiagnosticLog& log, void (*onCaptureFailed)(void*), void* data)
    : log(log), registryListener(std::make_unique<spa_hook>()),
      coreListener(std::make_unique<spa_hook>()), captureNode(SPA_ID_INVALID),
      onCaptureFailed(onCaptureFailed), onCaptureFailedData(data)
{}

CaptureRouter::~CaptureRouter()
{
    stop();
}

bool CaptureRouter::start(pw_loop* loop_, pw_core* core_)
{
    stop();
    loop = loop_;
    core = core_;
    updateEvent = pw_loop_add_event(
        loop, [](void* self, uint64_t) { static_cast<CaptureRouter*>(self)->update(); }, this);
    settleTimer = pw_loop_add_timer(
        loop, [](void* self, uint64_t) { static_cast<CaptureRouter*>(self)->update(); }, this);
    metadataTimer = pw_loop_add_timer(
        loop,
        [](void* self, uint64_t) { static_cast<CaptureRouter*>(self)->rebindQuietMetadata(); },
        this);
    registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    if (!updateEvent || !settleTimer || !metadataTimer || !registry)
    {
        stop();
        return false;
    }
    pw_registry_add_listener(registry, registryListener.get(), &CaptureRouterEvents::registry(),
                             this);
    pw_core_add_listener(core, coreListener.get(), &CaptureRouterEvents::core(), this);
    return true;
}

void CaptureRouter::stop()
{
    // The links first, while the stream they feed still stands.
    destroyAllLinks();
    unwatchCaptureNode();
    for (auto& [id, client] : clients)
        if (client->proxy)
        {
            spa_hook_remove(&client->clientListener);
            spa_hook_remove(&client->proxyListener);
            pw_proxy_destroy(client->proxy);
        }
    clients.clear();
    clearMetadata();
    if (registry)
    {
        // Cleared once removed: a start that fails before it adds them again
        // stops here a second time, and a hook still pointing into the last
        // connection's lists must not be removed from them twice.
        spa_hook_remove(registryListener.get());
        spa_hook_remove(coreListener.get());
        *registryListener = spa_hook{};
        *coreListener = spa_hook{};
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        registry = nullptr;
    }
    for (spa_source* source : {updateEvent, settleTimer, metadataTimer})
        if (loop && source)
            pw_loop_destroy_source(loop, source);
    updateEvent = settleTimer = metadataTimer = nullptr;
    nodes.clear();
    ports.clear();
    graphLinks.clear();
    failed.clear();
    defaultSinkName.clear();
    core = nullptr;
    captureNode = SPA_ID_INVALID;
    hostProcesses.clear();
    direct.store(false, std::memory_order_release);
    monitorUnconfirmed.store(false, std::memory_order_relaxed);
}

void CaptureRouter::setCaptureNode(uint32_t nodeId)
{
    if (nodeId == captureNode)
        return;
    releaseCaptureNode();
    captureNode = nodeId;
    hostProcesses.clear();
    watchCaptureNode();
    scheduleUpdate();
}

void CaptureRouter::releaseCaptureNode()
{
    destroyAllLinks();
    unwatchCaptureNode();
    captureNode = SPA_ID_INVALID;
    ownFed = false;
    directSources = 0;
    direct.store(false, std::memory_order_release);
}

void CaptureRouter::onGlobal(void* self, uint32_t id, uint32_t, const char* type, uint32_t,
                             const spa_dict* props)
{
    static_cast<CaptureRouter*>(self)->global(id, type, props);
}

void CaptureRouter::onGlobalRemove(void* self, uint32_t id)
{
    static_cast<CaptureRouter*>(self)->globalRemove(id);
}

void CaptureRouter::onCoreDone(void* self, uint32_t id, int seq)
{
    auto* router = static_cast<CaptureRouter*>(self);
    // The server answers in order: it has removed the monitor links, and
    // every message of its that detached them from the stream came first.
    if (id == PW_ID_CORE && seq == router->monitorRemovalSeq)
        router->monitorUnconfirmed.store(false, std::memory_order_relaxed);
}

void CaptureRouter::global(uint32_t id, const char* type, const spa_dict* props)
{
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0)
    {
        auto node = std::make_unique<Node>();
        node->clientId = idFrom(props, PW_KEY_CLIENT_ID);
        node->name = textFrom(props, PW_KEY_NODE_NAME);
        node->mediaClass = textFrom(props, PW_KEY_MEDIA_CLASS);
        nodes[id] = std::move(node);
        failed.clear();
        if (id == captureNode)
            watchCaptureNode();
    }
    else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0)
    {
        auto port = std::make_unique<Port>();
        port->nodeId = idFrom(props, PW_KEY_NODE_ID);
        port->output = textFrom(props, PW_KEY_PORT_DIRECTION) == "out";
        port->monitor = textFrom(props, PW_KEY_PORT_MONITOR) == "true";
        port->channel = textFrom(props, PW_KEY_AUDIO_CHANNEL);
        ports[id] = std::move(port);
        failed.clear();
    }
    else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0)
    {
        auto link = std::make_unique<Link>();
        link->outNode = idFrom(props, PW_KEY_LINK_OUTPUT_NODE);
        link->outPort = idFrom(props, PW_KEY_LINK_OUTPUT_PORT);
        link->inNode = idFrom(props, PW_KEY_LINK_INPUT_NODE);
        link->inPort = idFrom(props, PW_KEY_LINK_INPUT_PORT);
        graphLinks[id] = std::move(link);
    }
    else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0)
    {
        bindClient(id);
    }
    else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0)
    {
        if (textFrom(props, PW_KEY_METADATA_NAME) == kDefaultMetadata)
        {
            metadataRebindsLeft = kMetadataRebinds;
            bindMetadata(id);
        }
        return;
    }
    else
    {
        return;
    }
    scheduleUpdate();
}

void CaptureRouter::globalRemove(uint32_t id)
{
    bool relevant = nodes.erase(id) + ports.erase(id) + graphLinks.erase(id) > 0;
    auto client = clients.find(id);
    if (client != clients.end())
    {
        if (client->second->proxy)
        {
            spa_hook_remove(&client->second->clientListener);
            spa_hook_remove(&client->second->proxyListener);
            pw_proxy_destroy(client->second->proxy);
        }
        clients.erase(client);
        relevant = true;
    }
    if (metadata && metadata->id == id)
    {
        // The session manager went (or restarts): the last default sink is
        // still the best guess, and its monitor links stay until a new
        // "default" metadata names another.
        clearMetadata();
        relevant = true;
    }
    if (relevant)
    {
        failed.clear();
        scheduleUpdate();
    }
}

void CaptureRouter::bindClient(uint32_t id)
{
    auto* proxy = static_cast<pw_proxy*>(
        pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT, 0));
    if (!proxy)
        return;
    auto client = std::make_unique<Client>();
    client->router = this;
    client->proxy = proxy;
    pw_client_add_listener(reinterpret_cast<pw_client*>(proxy), &client->clientListener,
                           &CaptureRouterEvents::client(), client.get());
    pw_proxy_add_listener(proxy, &client->proxyListener, &CaptureRouterEvents::clientProxy(),
                          client.get());
    clients[id] = std::move(client);
}

void CaptureRouter::watchCaptureNode()
{
    // The server lets a client bind only a global its registry has
    // announced: the watch starts when both the stream's node id and the
    // node's global are known, whichever comes last.
    if (captureWatch || captureNode == SPA_ID_INVALID || !registry ||
        nodes.find(captureNode) == nodes.end())
        return;
    auto* proxy = static_cast<pw_proxy*>(
        pw_registry_bind(registry, captureNode, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    if (!proxy)
        return;
    captureWatch = std::make_unique<CaptureWatch>();
    captureWatch->router = this;
    captureWatch->proxy = proxy;
    pw_node_add_listener(reinterpret_cast<pw_node*>(proxy), &captureWatch->nodeListener,
                         &CaptureRouterEvents::captureNode(), captureWatch.get());
    pw_proxy_add_listener(proxy, &captureWatch->proxyListener, &CaptureRouterEvents::captureProxy(),
                          captureWatch.get());
}

void CaptureRouter::unwatchCaptureNode()
{
    if (captureWatch && captureWatch->proxy)
    {
        spa_hook_remove(&captureWatch->nodeListener);
        spa_hook_remove(&captureWatch->proxyListener);
        pw_proxy_destroy(captureWatch->proxy);
    }
    captureWatch.reset();
}

void CaptureRouter::bindMetadata(uint32_t id)
{
    clearMetadata();
    auto* proxy = static_cast<pw_proxy*>(
        pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
    if (!proxy)
        return;
    metadata = std::make_unique<Metadata>();
    metadata->router = this;
    metadata->id = id;
    metadata->proxy = proxy;
    pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(proxy), &metadata->metadataListener,
                             &CaptureRouterEvents::metadata(), metadata.get());
    pw_proxy_add_listener(proxy, &metadata->proxyListener, &CaptureRouterEvents::metadataProxy(),
                          metadata.get());
    if (metadataTimer && metadataRebindsLeft > 0)
    {
        timespec quiet{0, kMetadataQuietNanos};
        pw_loop_update_timer(loop, metadataTimer, &quiet, nullptr, false);
    }
}

void CaptureRouter::rebindQuietMetadata()
{
    if (!metadata || metadata->heardDefaultSink || metadataRebindsLeft <= 0)
        return;
    --metadataRebindsLeft;
    bindMetadata(metadata->id);
}

void CaptureRouter::clearMetadata()
{
    if (metadata && metadata->proxy)
    {
        spa_hook_remove(&metadata->metadataListener);
        spa_hook_remove(&metadata->proxyListener);
        pw_proxy_destroy(metadata->proxy);
    }
    metadata.reset();
}

void CaptureRouter::setDefaultSink(const char* json)
{
    // The value is {"name": "<node.name>"}.
    std::string name;
    if (json)
    {
        spa_json it[2];
        spa_json_init(&it[0], json, std::strlen(json));
        char key[64];
        if (spa_json_enter_object(&it[0], &it[1]) > 0)
            while (spa_json_get_string(&it[1], key, sizeof(key)) > 0)
            {
                if (std::strcmp(key, "name") == 0)
                {
                    std::vector<char> value(std::strlen(json) + 1);
                    if (spa_json_get_string(&it[1], value.data(), int(value.size())) > 0)
                        name = value.data();
                    break;
                }
                const char* skipped = nullptr;
                if (spa_json_next(&it[1], &skipped) <= 0)
                    break;
            }
    }
    if (name == defaultSinkName)
        return;
    defaultSinkName = name;
    // The players follow a moment later: hold removals until they have.
    settleUntil = monotonicNanos() + kSettleNanos;
    scheduleUpdate();
}

void CaptureRouter::scheduleUpdate()
{
    // Registry events come in bursts: one update once the burst is in.
    if (loop && updateEvent)
        pw_loop_signal_event(loop, updateEvent);
}

bool CaptureRouter::isOwnNode(uint32_t nodeId) const
{
    auto node = nodes.find(nodeId);
    if (node == nodes.end())
        return false;
    auto client = clients.find(node->second->clientId);
    return client != clients.end() && client->second->known && isHostProcess(*client->second);
}

bool CaptureRouter::isHostProcess(const Client& client) const
{
    if (!client.bridged)
    {
        // A server that vouches for no pid (a connection without peer
        // credentials) leaves only what the client says of itself.
        const pid_t pid = client.serverPid > 0 ? client.serverPid : client.reportedPid;
        for (const auto& process : hostProcesses)
            if (pid > 0 && process.serverPid == pid)
                return true;
        return false;
    }
    // Only what the program says of itself: its number and its name must
    // both be a host process's, and the bridge must not have found it in a
    // sandbox, where numbers are small and repeat.
    if (client.sandboxed || client.reportedPid <= 0)
        return false;
    for (const auto& process : hostProcesses)
        if (process.serverPid == client.reportedPid)
            return !process.name.empty() && processName(client.reportedBinary) == process.name;
    return false;
}

void CaptureRouter::learnHost()
{
    if (!hostProcesses.empty() || captureNode == SPA_ID_INVALID)
        return;
    auto node = nodes.find(captureNode);
    if (node == nodes.end())
        return;
    auto client = clients.find(node->second->clientId);
    if (client == clients.end() || !client->second->known)
        return;
    // The one read of /proc for this stream, here on the loop thread. Without
    // the server's word, the plug-in's own pid stands in: nothing linked at
    // all would be worse than a host whose own output may come back.
    const pid_t own = client->second->serverPid > 0 ? client->second->serverPid : ::getpid();
    ProcessAncestry::Result host = ancestry.hostProcesses(own);
    std::string list;
    for (const auto& process : host.processes)
        list += (list.empty() ? "" : ", ") + std::to_string(process.serverPid) + " " +
                (process.name.empty() ? "?" : process.name);
    log.write("%s %s (%s)\n", LogText::kHostProcesses, list.c_str(), host.stoppedBecause.c_str());
    hostProcesses = std::move(host.processes);
}

uint32_t CaptureRouter::defaultSinkNode() const
{
    if (defaultSinkName.empty())
        return SPA_ID_INVALID;
    for (const auto& [id, node] : nodes)
        if (node->name == defaultSinkName && node->mediaClass.rfind("Audio/Sink", 0) == 0)
            return id;
    return SPA_ID_INVALID;
}

void CaptureRouter::update()
{
    if (!core)
        return;
    learnHost();
    const int64_t now = monotonicNanos();
    for (auto it = made.begin(); it != made.end();)
    {
        if (it->second->gone)
        {
            failed.insert(it->first);
            destroyLink(*it->second);
            it = made.erase(it);
        }
        else
            ++it;
    }

    // The stream's input ports by channel. None until the host's processes
    // are known: a link made before could carry the host's own output.
    std::map<std::string, uint32_t> ours;
    if (captureNode != SPA_ID_INVALID && !hostProcesses.empty())
        for (const auto& [id, port] : ports)
            if (port->nodeId == captureNode && !port->output)
                ours[port->channel] = id;
    // Where a port that feeds channel `channel` goes: the input of that
    // channel, or every input for the one port of a mono source.
    auto targets = [&](const std::string& channel, bool mono) {
        std::vector<uint32_t> to;
        if (mono)
            for (const auto& [c, id] : ours)
                to.push_back(id);
        else if (auto it = ours.find(channel); it != ours.end())
            to.push_back(it->second);
        return to;
    };

    // What feeds the default sink, mirrored onto the stream's inputs.
    const uint32_t sink = defaultSinkNode();
    bool ownFeeds = false;
    std::set<Pair> directPairs;
    std::set<uint32_t> sources;
    if (sink != SPA_ID_INVALID)
        for (const auto& [id, link] : graphLinks)
        {
            if (link->inNode != sink || link->outNode == captureNode)
                continue;
            if (isOwnNode(link->outNode))
            {
                ownFeeds = true;
                continue;
            }
            auto in = ports.find(link->inPort);
            if (in == ports.end() || ports.find(link->outPort) == ports.end())
                continue;
            for (uint32_t to : targets(in->second->channel, in->second->channel == "MONO"))
                directPairs.insert({link->outPort, to});
            sources.insert(link->outNode);
        }

    // The host's output leaving the sink may be the session manager moving
    // it: wait a moment before taking the monitor, which would carry it back.
    if (ownFed && !ownFeeds)
        settleUntil = std::max(settleUntil, now + kSettleNanos);
    ownFed = ownFeeds;
    const bool settling = now < settleUntil;
    const bool wasDirect = direct.load(std::memory_order_relaxed);
    const bool goDirect = !ours.empty() && (ownFeeds || (wasDirect && settling));

    std::set<Pair> wanted;
    if (goDirect)
        wanted = std::move(directPairs);
    else if (sink != SPA_ID_INVALID && !ours.empty())
    {
        std::vector<std::pair<uint32_t, const Port*>> monitors;
        for (const auto& [id, port] : ports)
            if (port->nodeId == sink && port->output && port->monitor)
                monitors.emplace_back(id, port.get());
        for (const auto& [id, port] : monitors)
            for (uint32_t to : targets(port->channel, monitors.size() == 1))
                wanted.insert({id, to});
    }

    // The host's output reaches the sink now, and so the monitor a cycle
    // later. Until the server has taken the monitor links away, what the
    // stream receives may carry it (a test run under AddressSanitizer once
    // captured a quantum of the host's output mixed in, right at the
    // switch). Silence stands in for it, at a switch that costs a quantum
    // anyway.
    const bool leavingMonitor =
        ownFeeds && std::any_of(made.begin(), made.end(),
                                [](const auto& entry) { return entry.second->monitor; });
    if (leavingMonitor)
        monitorUnconfirmed.store(true, std::memory_order_relaxed);

    // Unwanted links go first, before any new one is made. Monitor links go
    // at once: the monitor may carry the host's own output, and after a
    // change of default sink the old monitor kept beside the new one would
    // hear the players twice while the session manager moves them. Direct
    // links wait while the graph settles, as long as direct links are
    // wanted at all: the players move only a moment after the default does.
    for (auto it = made.begin(); it != made.end();)
    {
        const bool held = goDirect && !it->second->monitor && settling;
        if (wanted.find(it->first) == wanted.end() && !held)
        {
            destroyLink(*it->second);
            it = made.erase(it);
        }
        else
            ++it;
    }
    if (leavingMonitor)
    {
        const int seq = pw_core_sync(core, PW_ID_CORE, 0);
        // Without a round trip nothing would ever confirm it: the stream
        // stays silent until the connection is made anew.
        if (seq >= 0)
            monitorRemovalSeq = seq;
    }
    for (const Pair& pair : wanted)
        if (made.find(pair) == made.end() && failed.find(pair) == failed.end())
            makeLink(pair, !goDirect);
    if (settling)
        armSettleTimer(settleUntil - now);

    direct.store(goDirect, std::memory_order_release);
    directSources = goDirect ? directSources : 0;
    publishLinkCount();
    // Without the stream's ports (it is going) there is nothing to switch.
    if (ours.empty())
        return;
    if (goDirect != wasDirect)
        switches.fetch_add(1, std::memory_order_acq_rel);
    if (goDirect && (!wasDirect || sources.size() != directSources))
        log.write("%s %zu %s\n", LogText::kOwnOutputFeedsSink, sources.size(),
                  LogText::kOwnOutputFeedsSinkEnd);
    else if (!goDirect && wasDirect)
        log.write("%s\n", LogText::kOwnOutputLeftSink);
    directSources = goDirect ? static_cast<uint32_t>(sources.size()) : 0;
}

void CaptureRouter::makeLink(const Pair& pair, bool monitor)
{
    auto out = ports.find(pair.first);
    if (out == ports.end())
        return;
    pw_properties* props = pw_properties_new(PW_KEY_OBJECT_LINGER, "false", nullptr);
    if (!props)
        return;
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", out->second->nodeId);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", pair.first);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", captureNode);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", pair.second);
    auto* proxy = static_cast<pw_proxy*>(pw_core_create_object(
        core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
    pw_properties_free(props);
    if (!proxy)
    {
        failed.insert(pair);
        return;
    }
    auto link = std::make_unique<MadeLink>();
    link->router = this;
    link->proxy = proxy;
    link->monitor = monitor;
    pw_proxy_add_listener(proxy, &link->proxyListener, &CaptureRouterEvents::linkProxy(),
                          link.get());
    made[pair] = std::move(link);
    changes.fetch_add(1, std::memory_order_relaxed);
}

void CaptureRouter::destroyLink(MadeLink& link)
{
    if (!link.proxy)
        return;
    spa_hook_remove(&link.proxyListener);
    // Not lingering, so destroying our proxy destroys the link on the server.
    pw_proxy_destroy(link.proxy);
    link.proxy = nullptr;
    changes.fetch_add(1, std::memory_order_relaxed);
}

void CaptureRouter::destroyAllLinks()
{
    for (auto& [pair, link] : made)
        destroyLink(*link);
    made.clear();
    publishLinkCount();
}

void CaptureRouter::armSettleTimer(int64_t nanos)
{
    if (!loop || !settleTimer)
        return;
    timespec when{static_cast<time_t>(nanos / 1000000000), static_cast<long>(nanos % 1000000000)};
    if (when.tv_sec == 0 && when.tv_nsec == 0)
        when.tv_nsec = 1; // zero would disarm the timer
    pw_loop_update_timer(loop, settleTimer, &when, nullptr, false);
}

void CaptureRouter::publishLinkCount()
{
    links.store(static_cast<uint32_t>(made.size()), std::memory_order_release);
}

} // namespace Strovik
