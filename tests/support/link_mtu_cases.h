// One table of link MTUs for both sides of the bound: the PPP engine's
// acceptance of a peer MRU and the route service's acceptance of the adapter
// MTU the engine's MRUs become. A value one side takes and the other refuses
// leaves a gateway that negotiates and never connects.
#pragma once

#include <cstdint>

#include "../../runtime/link_mtu.h"

struct LinkMtuCase {
    uint32_t mtu;
    bool accepted;
    const char *what;
};

static const LinkMtuCase LINK_MTU_CASES[] = {
    {0, false, "zero"},
    {LINK_MTU_MIN - 1, false, "one below the least"},
    {LINK_MTU_MIN, true, "the least"},
    {500, true, "a gateway with a small MRU"},
    {575, true, "below the least datagram every host takes"},
    {576, true, "the least datagram every host takes"},
    {1400, true, "the client's own"},
    {LINK_MTU_MAX, true, "the most"},
    {LINK_MTU_MAX + 1u, false, "one above the most"},
};
