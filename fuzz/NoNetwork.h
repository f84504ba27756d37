// NoNetwork.h - the ways a network fuzz target may connect: inside an
// OwnConnect scope, or to a stand-in that a StandIn scope provides (see
// NoNetwork.cpp, which refuses every other connect).
#ifndef NONETWORK_H
#define NONETWORK_H

namespace fuzz {

extern thread_local bool tOwnConnect;

// Inside a StandIn scope, every connect of this thread calls the provider,
// which returns one end of a connected socket pair (or -1 to refuse); that
// descriptor takes the place of the router's socket, which is then
// connected at once. The provider counts as the peer: what it wrote before
// returning is the peer's reply.
typedef int (*StandInProvider)(void* context);
extern thread_local StandInProvider tStandIn;
extern thread_local void* tStandInContext;

class OwnConnect {
 public:
  OwnConnect() { tOwnConnect = true; }
  ~OwnConnect() { tOwnConnect = false; }
  OwnConnect(const OwnConnect&) = delete;
  OwnConnect& operator=(const OwnConnect&) = delete;
};

class StandIn {
 public:
  StandIn(StandInProvider provider, void* context) {
    tStandIn = provider;
    tStandInContext = context;
  }
  ~StandIn() {
    tStandIn = nullptr;
    tStandInContext = nullptr;
  }
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;
};

}  // namespace fuzz

#endif  // NONETWORK_H
