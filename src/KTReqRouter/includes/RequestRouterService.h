/* RequestRouterService.h - the router service, its instances and its controller.
 *
 * CRequestRouterService is a threaded service with one instance per local
 * router: each instance command line is "-rr <router name>", and each
 * instance runs one router instance (CRequestRouter) in its own thread. The
 * service owns the loaded configuration and a copy of the local IP list;
 * both stay unchanged while the service runs and are read by every
 * instance. CRequestRouterController is the daemon controller of the
 * program; it only adds the router's own options to the usage text.
 *
 * Thread safety: the service is configured and run by the controlling
 * thread; the instances share its configuration and IP list read-only.
 */
#ifndef REQUESTROUTERSERVICE_H
#define REQUESTROUTERSERVICE_H

#include <memory>
#include <string>
#include <vector>

#include "DaemonController.h"
#include "KTStringList.h"
#include "ThreadedService.h"

namespace XMLConfig {
class CConfigFile;
}

/* The router service's identity. */
#define RR_SERVICE_NAME "VEXORA_RR"
#define RR_SERVICE_DISPLAY_NAME "Vexora Request Router"
#define RR_SERVICE_DESCRIPTION \
  "Distributes web requests from the web server to the Vexora application servers"

/* The switch of an instance command line that names the router. */
#define RR_INSTANCE_SWITCH "-rr"

class CRequestRouterService : public CThreadedService {
 public:
  /* Takes the loaded configuration (must not be null) and copies the IP
   * list. Raises CWIException when the IP list cannot be copied. */
  CRequestRouterService(std::unique_ptr<XMLConfig::CConfigFile> config,
                        const std::vector<std::string>& ipList);
  ~CRequestRouterService() override;

  /* A CRequestRouterServiceInstance for the command line. */
  std::unique_ptr<CThreadedServiceInstance> createInstance(const std::string& commandLine) override;

  const XMLConfig::CConfigFile& getConfig() const { return *mXMLConfig; }
  const CKTStringList& getIPList() const { return mIPList; }

  /* Adds one instance "-rr <name>" for every configured router whose host
   * text equals an entry of the IP list, in ascending name order. Returns
   * the number of instances added. Never fails (beyond std::bad_alloc). */
  size_t addLocalRouters();
  /* The names of the routers addLocalRouters() added, in the order added. */
  const std::vector<std::string>& getLocalRouters() const { return mLocalRouters; }

 private:
  std::unique_ptr<XMLConfig::CConfigFile> mXMLConfig;
  CKTStringList mIPList;
  std::vector<std::string> mLocalRouters;
};

class CRequestRouterServiceInstance : public CThreadedServiceInstance {
 public:
  CRequestRouterServiceInstance(CRequestRouterService* service, const std::string& commandLine);

  /* Builds and runs the router named by "-rr" until stopFlag is set, then
   * releases it. Without a name it logs "CRequestRouterServiceInstance::
   * run(): no request router name provided" and returns. Raises what
   * building or running the router raises. */
  void run(int& stopFlag) override;
};

class CRequestRouterController : public CDaemonController {
 public:
  /* The general controller usage, a line end and the router options. */
  std::string getControllerUsage() override;
};

#endif /* REQUESTROUTERSERVICE_H */
