// What the kernel holds of an IPv4 route beyond its row, as the state file
// keeps it (RouteDetail), and the kernel's message made again from it.
#pragma once

#include "route_work.h"

#include <vector>

struct nlmsghdr;

// The detail of a route's dump message. Null when all of it is kept, else
// what is not (the route is still described as far as it can be); present
// stays 0 when the message is no IPv4 route.
const char *RDETAIL_Of(const nlmsghdr *route, RouteDetail *detail);
// Null when the kernel could have said so of the route of that row, else
// why not: a value of the file no route of the service's own carries.
const char *RDETAIL_Fault(const RouteRow *row, const RouteDetail *detail);
// The route as a dump message of the kernel's (what NL_RouteFromDump takes):
// the row's destination, type of service, protocol and metric with the
// detail. A route through a next-hop object names only the object, as the
// kernel takes it. 0 when it does not fit a request.
int RDETAIL_Message(const RouteRow *row, const RouteDetail *detail, std::vector<unsigned char> *message);
