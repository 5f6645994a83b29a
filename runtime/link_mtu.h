// The MTU range of the tunnel link, one bound for both programs: the PPP
// engine takes no peer MRU outside it (the tunnel's MTU is made from the
// MRUs), and the route service sets no adapter MTU outside it, so every MTU
// the engine can produce is one the service accepts. Header only: the route
// service includes it without linking the runtime.
#ifndef TLX_RUNTIME_LINK_MTU_H
#define TLX_RUNTIME_LINK_MTU_H

enum { LINK_MTU_MIN = 128, LINK_MTU_MAX = 65535 };

#endif
