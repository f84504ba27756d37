/* RequestRouterService.cpp - the router service with one router instance per thread, and its controller.
 *
 * The service holds the configuration and the local IP list for its whole
 * life; each instance thread builds its router from them, runs it until the
 * thread is asked to stop and releases it again.
 */
#include "RequestRouterService.h"

#include <algorithm>

#include "KTDebug.h"
#include "KTLog.h"
#include "Log.h"
#include "RequestRouter.h"
#include "RequestRouterMain.h"
#include "WIException.h"
#include "XMLConfig.h"

CRequestRouterService::CRequestRouterService(std::unique_ptr<XMLConfig::CConfigFile> config,
                                             const std::vector<std::string>& ipList)
    : CThreadedService(RR_SERVICE_NAME, RR_SERVICE_DISPLAY_NAME, RR_SERVICE_DESCRIPTION,
                       START_AUTOMATICALLY),
      mXMLConfig(std::move(config)) {
  KT_ASSERT(mXMLConfig != nullptr && mXMLConfig->getConfig() != nullptr, "RequestRouterService");
  CKTStringList::makeStringList(ipList, mIPList.getList(), true);
}

CRequestRouterService::~CRequestRouterService() = default;

/* Never fails (beyond std::bad_alloc). */
std::unique_ptr<CThreadedServiceInstance> CRequestRouterService::createInstance(
    const std::string& commandLine) {
  return std::make_unique<CRequestRouterServiceInstance>(this, commandLine);
}

/* Never fails (beyond std::bad_alloc). */
size_t CRequestRouterService::addLocalRouters() {
  const std::vector<std::string> ipList = mIPList.toStringVector();
  size_t added = 0;
  // The router map is ordered by name.
  for (const auto& entry : mXMLConfig->getConfig()->requestrouters.routers) {
    const XMLConfig::RequestRouter& router = *entry.second;
    if (std::find(ipList.begin(), ipList.end(), router.ip) == ipList.end()) continue;
    addInstance(std::string(RR_INSTANCE_SWITCH) + " " + router.name);
    mLocalRouters.push_back(router.name);
    KTDEBUG_MSG(KTDEBUG_RROUTER, "addLocalRouters(): instance for router '%s' at %s",
                router.name.c_str(), router.ip.c_str());
    ++added;
  }
  return added;
}

CRequestRouterServiceInstance::CRequestRouterServiceInstance(CRequestRouterService* service,
                                                             const std::string& commandLine)
    : CThreadedServiceInstance(service, commandLine) {}

void CRequestRouterServiceInstance::run(int& stopFlag) {
  std::string name;
  if (!mCmdLine.popOption(RR_INSTANCE_SWITCH, name)) {
    KTLogWrite(CLog::log, "CRequestRouterServiceInstance::run(): no request router name provided");
    return;
  }
  KTLogWrite(CLog::log, "CRequestRouterServiceInstance::run(): starting RR instance '%s'",
             name.c_str());
  CRequestRouterService* service = static_cast<CRequestRouterService*>(mpService);
  CRequestRouter router(service->getConfig(), service->getIPList().getList(), name);
  router.run(stopFlag);
  KTDEBUG_MSG(KTDEBUG_RROUTER, "CRequestRouterServiceInstance::run(): RR instance '%s' ended",
              name.c_str());
}

/* Never fails. */
std::string CRequestRouterController::getControllerUsage() {
  return routerControllerUsage(CDaemonController::getControllerUsage());
}
