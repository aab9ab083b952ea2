#pragma once

// A snapshot of the PipeWire graph taken through a client of its own: the
// nodes with the process each belongs to, their ports, and the links.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <sys/types.h>
#include <vector>

namespace Strovik::Test {

struct GraphNode
{
    std::string name;
    std::string mediaClass;
    uint32_t clientId = 0;
};

struct GraphPort
{
    uint32_t nodeId = 0;
    std::string name;
    bool output = false;
    bool monitor = false;
};

struct GraphLink
{
    uint32_t outNode = 0, outPort = 0, inNode = 0, inPort = 0;
};

struct Graph
{
    std::map<uint32_t, GraphNode> nodes;
    std::map<uint32_t, GraphPort> ports;
    std::vector<GraphLink> links;
    std::map<uint32_t, pid_t> clientPids;

    // 0 when the node or its client's process is unknown.
    pid_t pidOf(uint32_t node) const;
    // The node of that name, or 0.
    uint32_t nodeNamed(const std::string& name) const;
    // The capture streams (Stream/Input/Audio) that process `pid` owns.
    std::vector<uint32_t> captureNodesOf(pid_t pid) const;
    // The nodes linked into `node`, and whether any of those links starts
    // at a monitor port.
    std::set<uint32_t> sourcesOf(uint32_t node) const;
    size_t linksInto(uint32_t node) const;
    bool fedByMonitor(uint32_t node) const;
    // Readable, for failure messages.
    std::string describeLinksInto(uint32_t node) const;
};

// Throws std::runtime_error when the server cannot be reached.
Graph snapshotGraph();

} // namespace Strovik::Test
