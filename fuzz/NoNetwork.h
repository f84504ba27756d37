// NoNetwork.h - the one way a network fuzz target may connect: inside an
// OwnConnect scope (see NoNetwork.cpp, which refuses every other connect).
#ifndef NONETWORK_H
#define NONETWORK_H

namespace fuzz {

extern thread_local bool tOwnConnect;

class OwnConnect {
 public:
  OwnConnect() { tOwnConnect = true; }
  ~OwnConnect() { tOwnConnect = false; }
  OwnConnect(const OwnConnect&) = delete;
  OwnConnect& operator=(const OwnConnect&) = delete;
};

}  // namespace fuzz

#endif  // NONETWORK_H
