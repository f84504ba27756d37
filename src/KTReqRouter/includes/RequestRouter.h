/* RequestRouter.h - one router instance: its pools, its peer routers and its three listeners.
 *
 * A router instance is one configured request router running in this
 * process. At construction it reads its endpoints from the configuration,
 * creates its pool list and its peer list, and introduces itself to every
 * other configured router with a message-center port: each gets a peer
 * record (with its own send thread), is asked for the pools it serves, and
 * is entered into those pools. run() then serves the get-server (UDP),
 * message-center (TCP) and, when a monitor port is configured, monitor (TCP)
 * listeners, each in a thread of its own, until the stop flag is set or a
 * listener fails.
 *
 * Destruction frees the peer list with every peer record first (stopping
 * their send threads), then the pool list with every pool, server and
 * queue, then the listeners.
 *
 * Thread safety: an instance is built, run and destroyed by one thread (the
 * service instance's). While run() serves, the listener threads and the
 * peers' send threads share the two lists, which guard themselves. The
 * stop flag may be set by another thread.
 */
#ifndef REQUESTROUTER_H
#define REQUESTROUTER_H

#include <memory>
#include <string>

#include "IPEndpoint.h"
#include "KTMCRequestHandler.h"
#include "KTMonitorRequestHandler.h"
#include "KTStringList.h"
#include "RRRequestHandler.h"

struct ASPoolList;
struct KTMCServer;
struct KTMCServerList;
class CThreadGroup;

namespace XMLConfig {
class CConfigFile;
}

/* Scoped owner of one peer record. */
class CKTMCServer {
 public:
  /* Creates the record for the peer peerIP:peerPort, which this router
   * contacts as myIP:myPort; its send thread starts at once. Raises
   * CWIException with KTMCServerNew's status and "CKTMCServer():
   * KTMCServerNew() failed" when that fails (for example a peer host that
   * does not resolve). */
  CKTMCServer(const std::string& peerIP, unsigned short peerPort, const std::string& myIP,
              unsigned short myPort);
  /* Frees the record unless it was detached. */
  ~CKTMCServer();
  CKTMCServer(const CKTMCServer&) = delete;
  CKTMCServer& operator=(const CKTMCServer&) = delete;

  /* Hands the record out; this object no longer owns (nor frees) it. */
  KTMCServer* detach();
  /* The record, null after detach(). */
  operator KTMCServer*() const { return mpMC; }
  KTMCServer* get() const { return mpMC; }

 private:
  KTMCServer* mpMC = nullptr;
};

/* Introduces this router (own) to the peer: creates its record, asks it for
 * the pools it serves (a peer that cannot be reached is marked down and
 * reports none), enters the peer into each of those pools (creating
 * missing pools with maxCacheItems) and adds the record to pMCs, which owns
 * it from then on. Raises CWIException (ERROR_INVALID_PARAMETER for null
 * lists, else the failing step's status); on failure the peer is taken out
 * of every pool again, pools left empty are removed, and the record is
 * freed. Must not run while a listener serves the lists. */
void AddToMCServerList(const IPEndpoint& peer, KTMCServerList* pMCs, ASPoolList* pPoolList,
                       const IPEndpoint& own, int maxCacheItems);

class CRequestRouterImpl {
 public:
  /* Builds the instance of the configured router rrName (see the top of
   * this file). Raises CException or CWIException when anything fails, for
   * example "RequestRouters::routerByName(): Request router '<name>' not
   * defined" or "Message center not found: <name>"; nothing is left behind
   * then (peer threads stopped, lists freed). ipList is not used further. */
  CRequestRouterImpl(const XMLConfig::CConfigFile& config, const KTStringList* ipList,
                     const std::string& rrName);
  ~CRequestRouterImpl();
  CRequestRouterImpl(const CRequestRouterImpl&) = delete;
  CRequestRouterImpl& operator=(const CRequestRouterImpl&) = delete;

  /* Starts the listener threads, reports on standard output and in the log
   * where they listen, and returns once stopFlag (read atomically) is
   * non-zero and every listener has finished. Raises CException "One thread
   * has finished with an error" when a listener fails (a port that cannot
   * be bound, for example); the other listeners are stopped first. Call
   * once. */
  void run(int& stopFlag);

  /* The listeners' ports actually bound (0 until bound): for callers that
   * configure port 0 or wait for readiness. */
  unsigned short getServerPort() const { return requestRouterServer.boundPort(); }
  unsigned short messageCenterPort() const { return messageCenterServer.boundPort(); }
  unsigned short monitorPort() const { return monitorServer.boundPort(); }

  KTMCServerList* getMCServerList() const { return pMCs; }
  ASPoolList* getPoolList() const { return pPoolList; }

 private:
  /* Frees the peer list, then the pool list; safe on null lists, never fails. */
  void freeLists();
  /* Waits a little for the listeners to bind and reports their endpoints;
   * a listener that has not bound in time is not reported. Raises
   * CWIException when a thread's state cannot be read. */
  void reportListeners(const int& stopFlag, const CThreadGroup& group) const;

  /* Gives the listeners the configured allow lists. */
  void setAllowLists(const XMLConfig::CConfigFile& config);

  KTMCServerList* pMCs;                      /* owned: every peer router */
  ASPoolList* pPoolList;                     /* owned: every pool */
  CRequestRouterServer requestRouterServer;  /* UDP get-server listener */
  CMonitorServer monitorServer;              /* TCP monitor listener */
  CMessageCenterServer messageCenterServer;  /* TCP message-center listener */
  std::string mName;                         /* the router's configured name */
  IPEndpoint mServerEndpoint;                /* where the listeners were told to listen */
  IPEndpoint mMonitorEndpoint;
  IPEndpoint mMCEndpoint;
};

/* The handle of one router instance, as the router service uses it. */
class CRequestRouter {
 public:
  /* Builds the instance; raises what CRequestRouterImpl raises. */
  CRequestRouter(const XMLConfig::CConfigFile& config, const KTStringList* ipList,
                 const std::string& rrName);
  virtual ~CRequestRouter();
  CRequestRouter(const CRequestRouter&) = delete;
  CRequestRouter& operator=(const CRequestRouter&) = delete;

  /* Runs the instance until stopFlag is set; raises what the instance's run raises. */
  void run(int& stopFlag);
  CRequestRouterImpl& impl() const { return *mpImpl; }

 private:
  std::unique_ptr<CRequestRouterImpl> mpImpl;
};

#endif /* REQUESTROUTER_H */
