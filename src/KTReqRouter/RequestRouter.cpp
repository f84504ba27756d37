/* RequestRouter.cpp - one router instance: start-up towards the peer routers, the listener threads, the release order.
 *
 * Construction reads the instance's three endpoints, creates the peer list
 * and the pool list, hands them to the listeners, and introduces the
 * instance to every other router of the configuration (AddToMCServerList).
 * run() serves the listeners in a thread group until the stop flag is set.
 * Destruction frees the peer list before the pool list (the peer records
 * read the pools' peer queues), then the listeners.
 */
#include "RequestRouter.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "Exception.h"
#include "KTBuffer.h"
#include "KTDebug.h"
#include "KTLog.h"
#include "KTMCRegistry.h"
#include "KTMCServer.h"
#include "KTMCServerList.h"
#include "KTUtils.h"
#include "Log.h"
#include "TCPServer.h"
#include "KTAddressList.h"
#include "ThreadGroup.h"
#include "UDPServer.h"
#include "VXASPool.h"
#include "VXASPoolList.h"
#include "WIException.h"
#include "XMLConfig.h"

namespace {

/* Receive time-out of the get-server listener: how late it notices a stop. */
const int kGetServerTimeoutMs = 1000;
/* How long run() waits for the listeners to bind before it reports them. */
const int kReportWaitMs = 3000;
const int kReportPollMs = 20;

/* "host:port" for messages; IPv6 literals in brackets. */
std::string endpointText(const std::string& host, unsigned short port) {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

/* The host a listener is bound to, as an operator reads it. */
std::string listenHost(const IPEndpoint& endpoint) {
  return endpoint.bind ? endpoint.ip : std::string("*");
}

/* Enters the peer into the pool called name, creating and listing the pool
 * when there is none. Raises CWIException with the failing status. */
void joinPool(const std::string& name, KTMCServer* pMC, ASPoolList* pPoolList,
              const IPEndpoint& peer, int maxCacheItems) {
  ASPool* pPool = nullptr;
  bool created = false;
  MCRegistryStep failed = MC_REGISTRY_OK;
  KTStatus status = MCRegistryFindOrCreatePool(pPoolList, name.c_str(), maxCacheItems, nullptr,
                                               &pPool, &created, &failed, CLog::log);
  if (status != STATUS_OK) {
    if (failed == MC_REGISTRY_CREATE) {
      throw CWIException(status, "AddToMCServerList(): error create pool for name '%s'.",
                         name.c_str());
    }
    if (failed == MC_REGISTRY_LIST) {
      throw CWIException(status, "AddToMCServerList(): error add pool '%s' to pool list (%d).",
                         name.c_str(), (int)status);
    }
    throw CWIException(status, "AddToMCServerList(): error get pool for name '%s'.", name.c_str());
  }
  if (created) KTDEBUG_MSG(KTDEBUG_RROUTER, "AddToMCServerList(): created pool '%s'", name.c_str());
  status = MCRegistryAddPeerToPool(pPoolList, pPool, created, pMC, CLog::log);
  if (status != STATUS_OK) {
    throw CWIException(status, "AddToMCServerList(): error adding MC to pool %s:[%s]:%hu.",
                       name.c_str(), peer.ip.c_str(), peer.port);
  }
}

/* The pool names of a reply to the start-up question: each name ends in
 * "\r\n"; text after the last such pair is ignored, and so are empty names. */
std::vector<std::string> splitPoolNames(const std::string& text) {
  std::vector<std::string> names;
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type end = text.find("\r\n", start);
    if (end == std::string::npos) break;
    if (end > start) names.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return names;
}

}  // namespace

/* ---------------------------------------------------------------- CKTMCServer */

CKTMCServer::CKTMCServer(const std::string& peerIP, unsigned short peerPort,
                         const std::string& myIP, unsigned short myPort) {
  const KTStatus status =
      KTMCServerNew(&mpMC, peerIP.c_str(), peerPort, myIP.c_str(), myPort, CLog::log);
  if (status != STATUS_OK) {
    mpMC = nullptr;
    throw CWIException(status, "CKTMCServer(): KTMCServerNew() failed");
  }
}

/* Never fails; a failing release is logged by KTMCServerFree. */
CKTMCServer::~CKTMCServer() {
  if (mpMC != nullptr) KTMCServerFree(&mpMC, CLog::log);
}

KTMCServer* CKTMCServer::detach() {
  KTMCServer* pMC = mpMC;
  mpMC = nullptr;
  return pMC;
}

/* ---------------------------------------------------------- AddToMCServerList */

void AddToMCServerList(const IPEndpoint& peer, KTMCServerList* pMCs, ASPoolList* pPoolList,
                       const IPEndpoint& own, int maxCacheItems) {
  if (pMCs == nullptr || pPoolList == nullptr) {
    throw CWIException(ERROR_INVALID_PARAMETER,
                       "AddToMCServerList(): wrong arguments passed to the procedure");
  }
  KTDEBUG_MSG(KTDEBUG_RROUTER, "AddToMCServerList(): introducing [%s]:%hu to [%s]:%hu",
              own.ip.c_str(), own.port, peer.ip.c_str(), peer.port);
  CKTMCServer mc(peer.ip, peer.port, own.ip, own.port);

  CKTBuffer poolNames;
  KTStatus status = KTMCServerSendInitial(mc, poolNames, CLog::log);
  if (status != STATUS_OK) {
    throw CWIException(status, "AddToMCServerList(): error get pools [%s]:%hu.", peer.ip.c_str(),
                       peer.port);
  }
  const std::string names = static_cast<const char*>(poolNames);

  try {
    for (const std::string& name : splitPoolNames(names)) {
      // No request header can carry a name with white space (the peer would
      // read another pool from our codes 5, 21 and 22) and the monitor's
      // lines would gain fields: such a name is left out.
      if (name.find_first_of(" \t\n\v\f\r") != std::string::npos) {
        KTLogWrite(CLog::log, "AddToMCServerList(): [%s]:%hu named the pool '%s' with white space; ignored",
                   peer.ip.c_str(), peer.port, name.c_str());
        continue;
      }
      joinPool(name, mc, pPoolList, peer, maxCacheItems);
    }
    status = KTMCServerListAdd(pMCs, mc, CLog::log);
    if (status != STATUS_OK) {
      throw CWIException(status, "AddToMCServerList(): error add MC to global list [%s]:%hu (status %d).",
                         peer.ip.c_str(), peer.port, (int)status);
    }
  } catch (...) {
    // The pools must not keep a record that is about to be freed.
    ASPoolListRemoveMC(pPoolList, mc, CLog::log);
    throw;
  }
  // The list owns the record from now on.
  mc.detach();
}

/* --------------------------------------------------------- CRequestRouterImpl */

CRequestRouterImpl::CRequestRouterImpl(const XMLConfig::CConfigFile& config,
                                       const KTStringList* ipList, const std::string& rrName)
    : pMCs(nullptr),
      pPoolList(nullptr),
      requestRouterServer(config.getRequestRouter(rrName), kGetServerTimeoutMs),
      monitorServer(config.getMonitor(rrName)),
      messageCenterServer(config.getMessageCenter(rrName)),
      mName(rrName),
      mServerEndpoint(config.getRequestRouter(rrName)),
      mMonitorEndpoint(config.getMonitor(rrName)),
      mMCEndpoint(config.getMessageCenter(rrName)) {
  (void)ipList;
  const int maxCacheItems = (int)config.getMaxCacheItems();
  try {
    KTStatus status = KTMCServerListNew(&pMCs, CLog::log);
    if (status != STATUS_OK) {
      throw CWIException(status, "CRequestRouterImpl(): KTMCServerListNew failed.");
    }
    status = ASPoolListNew(&pPoolList, CLog::log);
    if (status != STATUS_OK) {
      throw CWIException(status, "CRequestRouterImpl(): ASPoolListNew failed.");
    }

    requestRouterServer.mpPoolList = pPoolList;
    monitorServer.pPoolList = pPoolList;
    monitorServer.pMCs = pMCs;
    messageCenterServer.pPoolList = pPoolList;
    messageCenterServer.pMCs = pMCs;
    messageCenterServer.mMaxCacheItems = maxCacheItems;
    messageCenterServer.mMCIP = mMCEndpoint.ip;
    messageCenterServer.mMCPort = mMCEndpoint.port;

    for (const IPEndpoint& peer : config.getMessageCenters()) {
      if (peer == mMCEndpoint) continue;
      AddToMCServerList(peer, pMCs, pPoolList, mMCEndpoint, maxCacheItems);
    }
    setAllowLists(config);
  } catch (...) {
    freeLists();
    throw;
  }
  KTDEBUG_MSG(KTDEBUG_RROUTER, "CRequestRouterImpl(): instance '%s' built", mName.c_str());
}

/* The values were checked when the configuration was read. The hosts of
 * every configured router join the message-center list so that peer links
 * need not be listed; one that does not resolve now is logged and left out. */
void CRequestRouterImpl::setAllowLists(const XMLConfig::CConfigFile& config) {
  const XMLConfig::Config* model = config.getConfig();
  if (model == nullptr) return;
  const XMLConfig::RequestRouter* self = model->requestrouters.routerByName(mName);
  if (!self->mc_allow.empty()) {
    CAddressList allowed;
    allowed.parse(self->mc_allow);
    for (const auto& entry : model->requestrouters.routers) {
      const std::string& host = entry.second->ip;
      if (!allowed.addHost(host))
        KTLogWrite(CLog::log, "CRequestRouterImpl(): cannot resolve request router host '%s' for mc_allow",
                   host.c_str());
    }
    messageCenterServer.setAllowList(allowed, "CMessageCenterServer", "mc_allow");
  }
  if (!self->monitor_allow.empty()) {
    CAddressList allowed;
    allowed.parse(self->monitor_allow);
    monitorServer.setAllowList(allowed, "CMonitorServer", "monitor_allow");
  }
}

/* Never fails; release failures are logged by the lists. */
CRequestRouterImpl::~CRequestRouterImpl() {
  freeLists();
  KTDEBUG_MSG(KTDEBUG_RROUTER, "~CRequestRouterImpl(): instance '%s' released", mName.c_str());
}

void CRequestRouterImpl::freeLists() {
  // The listeners must not keep pointers into freed lists.
  requestRouterServer.mpPoolList = nullptr;
  monitorServer.pPoolList = nullptr;
  monitorServer.pMCs = nullptr;
  messageCenterServer.pPoolList = nullptr;
  messageCenterServer.pMCs = nullptr;
  if (pMCs != nullptr) KTMCServerListFree(&pMCs, CLog::log);
  if (pPoolList != nullptr) ASPoolListFree(&pPoolList, CLog::log);
  pMCs = nullptr;
  pPoolList = nullptr;
}

void CRequestRouterImpl::run(int& stopFlag) {
  CThreadGroup group;
  group.addThread(std::make_unique<CUDPServerThread>(&requestRouterServer));
  group.addThread(std::make_unique<CTCPServerThread>(&messageCenterServer));
  if (monitorServer.port() != 0) {
    group.addThread(std::make_unique<CTCPServerThread>(&monitorServer));
  }
  KTDEBUG_MSG(KTDEBUG_RROUTER, "CRequestRouterImpl::run(): %d listener threads of '%s' started",
              (int)group.size(), mName.c_str());
  reportListeners(stopFlag, group);
  group.join(stopFlag, -1);
  KTDEBUG_MSG(KTDEBUG_RROUTER, "CRequestRouterImpl::run(): listeners of '%s' stopped",
              mName.c_str());
}

void CRequestRouterImpl::reportListeners(const int& stopFlag, const CThreadGroup& group) const {
  const bool withMonitor = monitorServer.port() != 0;
  for (int waited = 0; waited < kReportWaitMs; waited += kReportPollMs) {
    const bool bound = requestRouterServer.boundPort() != 0 &&
                       messageCenterServer.boundPort() != 0 &&
                       (!withMonitor || monitorServer.boundPort() != 0);
    if (bound || KTThreadStopRequested(&stopFlag) || group.hasError() || group.allFinished()) break;
    SleepMilliseconds(kReportPollMs);
  }
  // A listener that failed ends run() at once; nothing to report then.
  if (group.hasError()) return;

  struct Listener {
    const char* what;
    IPEndpoint endpoint;
    unsigned short bound;
  };
  std::vector<Listener> listeners = {
      {"get-server UDP", mServerEndpoint, requestRouterServer.boundPort()},
      {"message center TCP", mMCEndpoint, messageCenterServer.boundPort()}};
  if (withMonitor) listeners.push_back({"monitor TCP", mMonitorEndpoint, monitorServer.boundPort()});
  for (const Listener& l : listeners) {
    if (l.bound == 0) continue;
    const std::string where = endpointText(listenHost(l.endpoint), l.bound);
    printf("%s: %s listening on %s\n", mName.c_str(), l.what, where.c_str());
    KTLogWrite(CLog::log, "CRequestRouterImpl::run(): %s: %s listening on %s", mName.c_str(),
               l.what, where.c_str());
  }
  fflush(stdout);
}

/* ------------------------------------------------------------- CRequestRouter */

CRequestRouter::CRequestRouter(const XMLConfig::CConfigFile& config, const KTStringList* ipList,
                               const std::string& rrName)
    : mpImpl(std::make_unique<CRequestRouterImpl>(config, ipList, rrName)) {}

CRequestRouter::~CRequestRouter() = default;

void CRequestRouter::run(int& stopFlag) { mpImpl->run(stopFlag); }
