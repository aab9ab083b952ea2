#include "graphprobe.h"

#include <pipewire/pipewire.h>

#include <cstring>
#include <memory>
#include <stdexcept>

namespace Strovik::Test {

pid_t Graph::pidOf(uint32_t node) const
{
    auto n = nodes.find(node);
    if (n == nodes.end())
        return 0;
    auto c = clientPids.find(n->second.clientId);
    return c == clientPids.end() ? 0 : c->second;
}

uint32_t Graph::nodeNamed(const std::string& name) const
{
    for (const auto& [id, node] : nodes)
        if (node.name == name)
            return id;
    return 0;
}

std::vector<uint32_t> Graph::captureNodesOf(pid_t pid) const
{
    std::vector<uint32_t> found;
    for (const auto& [id, node] : nodes)
        if (node.mediaClass == "Stream/Input/Audio" && pidOf(id) == pid)
            found.push_back(id);
    return found;
}

std::set<uint32_t> Graph::sourcesOf(uint32_t node) const
{
    std::set<uint32_t> sources;
    for (const GraphLink& l : links)
        if (l.inNode == node)
            sources.insert(l.outNode);
    return sources;
}

size_t Graph::linksInto(uint32_t node) const
{
    size_t n = 0;
    for (const GraphLink& l : links)
        n += l.inNode == node;
    return n;
}

bool Graph::fedByMonitor(uint32_t node) const
{
    for (const GraphLink& l : links)
        if (l.inNode == node)
            if (auto p = ports.find(l.outPort); p != ports.end() && p->second.monitor)
                return true;
    return false;
}

std::string Graph::describeLinksInto(uint32_t node) const
{
    auto name = [&](uint32_t n) {
        auto it = nodes.find(n);
        return (it == nodes.end() ? "?" : it->second.name) + "#" + std::to_string(n);
    };
    auto port = [&](uint32_t p) {
        auto it = ports.find(p);
        return it == ports.end() ? std::string("?") : it->second.name;
    };
    std::string text;
    for (const GraphLink& l : links)
        if (l.inNode == node)
            text += name(l.outNode) + ":" + port(l.outPort) + " -> " + name(l.inNode) + ":" +
                    port(l.inPort) + "\n";
    return text.empty() ? "(no links)\n" : text;
}

namespace {

uint32_t number(const spa_dict* props, const char* key)
{
    const char* v = props ? spa_dict_lookup(props, key) : nullptr;
    return v ? static_cast<uint32_t>(std::strtoul(v, nullptr, 10)) : 0;
}

std::string text(const spa_dict* props, const char* key)
{
    const char* v = props ? spa_dict_lookup(props, key) : nullptr;
    return v ? v : "";
}

struct BoundClient
{
    uint32_t id = 0;
    Graph* graph = nullptr;
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
};

struct Snapshot
{
    Graph graph;
    pw_main_loop* loop = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    spa_hook registryListener{};
    spa_hook coreListener{};
    std::vector<std::unique_ptr<BoundClient>> clients;
    int pending = -1;
    bool failed = false;

    void roundtrip()
    {
        pending = pw_core_sync(core, PW_ID_CORE, 0);
        pw_main_loop_run(loop);
    }
};

void onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props)
{
    auto* s = static_cast<Snapshot*>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0)
        s->graph.nodes[id] = {text(props, PW_KEY_NODE_NAME), text(props, PW_KEY_MEDIA_CLASS),
                              number(props, PW_KEY_CLIENT_ID)};
    else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0)
        s->graph.ports[id] = {number(props, PW_KEY_NODE_ID), text(props, PW_KEY_PORT_NAME),
                              text(props, PW_KEY_PORT_DIRECTION) == "out",
                              text(props, PW_KEY_PORT_MONITOR) == "true"};
    else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0)
        s->graph.links.push_back(
            {number(props, PW_KEY_LINK_OUTPUT_NODE), number(props, PW_KEY_LINK_OUTPUT_PORT),
             number(props, PW_KEY_LINK_INPUT_NODE), number(props, PW_KEY_LINK_INPUT_PORT)});
    else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0)
    {
        auto c = std::make_unique<BoundClient>();
        c->id = id;
        c->graph = &s->graph;
        c->proxy = static_cast<pw_proxy*>(
            pw_registry_bind(s->registry, id, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT, 0));
        if (!c->proxy)
            return;
        static const pw_client_events events = [] {
            pw_client_events e{};
            e.version = PW_VERSION_CLIENT_EVENTS;
            e.info = [](void* data, const pw_client_info* info) {
                auto* c = static_cast<BoundClient*>(data);
                if (info && info->props)
                    c->graph->clientPids[c->id] =
                        static_cast<pid_t>(number(info->props, PW_KEY_APP_PROCESS_ID));
            };
            return e;
        }();
        pw_client_add_listener(reinterpret_cast<pw_client*>(c->proxy), &c->listener, &events,
                               c.get());
        s->clients.push_back(std::move(c));
    }
}

} // namespace

Graph snapshotGraph()
{
    pw_init(nullptr, nullptr);
    Snapshot s;
    s.loop = pw_main_loop_new(nullptr);
    pw_context* context =
        s.loop ? pw_context_new(pw_main_loop_get_loop(s.loop), nullptr, 0) : nullptr;
    s.core = context ? pw_context_connect(context, nullptr, 0) : nullptr;
    if (!s.core)
    {
        if (context)
            pw_context_destroy(context);
        if (s.loop)
            pw_main_loop_destroy(s.loop);
        pw_deinit();
        throw std::runtime_error("cannot reach the PipeWire server");
    }
    static const pw_core_events coreEvents = [] {
        pw_core_events e{};
        e.version = PW_VERSION_CORE_EVENTS;
        e.done = [](void* data, uint32_t id, int seq) {
            auto* s = static_cast<Snapshot*>(data);
            if (id == PW_ID_CORE && seq == s->pending)
                pw_main_loop_quit(s->loop);
        };
        e.error = [](void* data, uint32_t id, int, int, const char*) {
            auto* s = static_cast<Snapshot*>(data);
            if (id == PW_ID_CORE)
            {
                s->failed = true;
                pw_main_loop_quit(s->loop);
            }
        };
        return e;
    }();
    pw_core_add_listener(s.core, &s.coreListener, &coreEvents, &s);
    static const pw_registry_events registryEvents = [] {
        pw_registry_events e{};
        e.version = PW_VERSION_REGISTRY_EVENTS;
        e.global = onGlobal;
        return e;
    }();
    s.registry = pw_core_get_registry(s.core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(s.registry, &s.registryListener, &registryEvents, &s);
    s.roundtrip(); // every global
    s.roundtrip(); // the clients' info
    for (auto& c : s.clients)
    {
        spa_hook_remove(&c->listener);
        pw_proxy_destroy(c->proxy);
    }
    spa_hook_remove(&s.registryListener);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(s.registry));
    spa_hook_remove(&s.coreListener);
    pw_core_disconnect(s.core);
    pw_context_destroy(context);
    pw_main_loop_destroy(s.loop);
    pw_deinit();
    if (s.failed)
        throw std::runtime_error("the PipeWire server closed the connection");
    return std::move(s.graph);
}

} // namespace Strovik::Test
