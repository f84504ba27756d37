/* ServiceController.h - how services are started, stopped and reported: the controller interface and its base.
 *
 * A controller registers services by name and acts on the controller
 * switch of a command line: "-runservice", "-console", "-start", "-stop",
 * "-restart" (each optionally followed by a service name; without one the
 * first registered service is meant), "-install", "-remove" and "-status".
 * Without a switch it prints the usage text. Only one controller may be
 * created in a process (also after the first one was destroyed).
 *
 * run() returns the exit status the program should end with: 0 when the
 * action succeeded, the service's result for "-console", non-zero when an
 * action could not be done without raising (install/remove that the
 * platform does not offer). Failed actions raise exceptions of the
 * CException family (CServiceException for the controller's own failures).
 *
 * Thread safety: a controller is used by the process's controlling thread only.
 */
#ifndef SERVICECONTROLLER_H
#define SERVICECONTROLLER_H

#include <string>
#include <vector>

#include "CmdLine.h"
#include "Service.h"

class IServiceController {
 public:
  virtual ~IServiceController() = default;

  virtual void registerService(IService* service) = 0;
  virtual IService* getService(const std::string& name) = 0;
  virtual void startService(const std::string& name, const std::vector<std::string>& args) = 0;
  virtual void stopService(const std::string& name) = 0;
  virtual void restartService(const std::string& name, const std::vector<std::string>& args) = 0;
  virtual int startServiceConsole(const std::string& name, const std::vector<std::string>& args) = 0;
  virtual int run(CCmdLine& cmdLine) = 0;
  virtual int run(int argc, char** argv) = 0;
  virtual std::string getStatus() = 0;
  /* Return 0 on success, non-zero when the services could not be (un)installed. */
  virtual int installServices() = 0;
  virtual int uninstallServices() = 0;
  virtual void runService(const std::string& name) = 0;
  virtual std::string getUsage(const std::string& exeName) = 0;
  virtual std::string getControllerUsage() = 0;
  virtual std::string getServiceUsage(const std::string& name) = 0;
};

class CServiceControllerBase : public IServiceController {
 public:
  enum ServiceAction {
    CANCEL = 0,
    INSTALL = 1,
    UNINSTALL = 2,
    START = 3,
    STOP = 4,
    RESTART = 5,
    START_CONSOLE = 6,
    SYSTEM_START = 7,
    STATUS = 8
  };

  static const char* const INSTALL_SWITCH;
  static const char* const UNINSTALL_SWITCH;
  static const char* const CONSOLE_SWITCH;
  static const char* const START_SWITCH;
  static const char* const SYSTEM_START_SWITCH;
  static const char* const STOP_SWITCH;
  static const char* const RESTART_SWITCH;
  static const char* const STATUS_SWITCH;

  /* Width of the right-aligned label column of the usage text. */
  static constexpr size_t USAGE_LABEL_WIDTH = 34;

  /* Raises CException "CServiceControllerBase::CServiceControllerBase():
   * Cannot instantiate ServiceController more than once" when a controller
   * was created before in this process. */
  CServiceControllerBase();
  ~CServiceControllerBase() override = default;
  CServiceControllerBase(const CServiceControllerBase&) = delete;
  CServiceControllerBase& operator=(const CServiceControllerBase&) = delete;

  /* Takes the first controller switch present (in the order runservice,
   * console, start, stop, restart, install, remove, status) out of cmdLine;
   * the switches that name a service store their value into service.
   * Returns CANCEL when there is none. */
  virtual ServiceAction parseOptions(CCmdLine& cmdLine, std::string& service);
  /* Hook for controller-specific options; the base knows none (false). */
  virtual bool parseOption(const std::vector<std::string>& args, size_t& position);
  /* Appends the name; an empty or repeated name is a programming error
   * (KT_ASSERT ends the process). */
  virtual void registerServiceName(const std::string& name);
  bool isServiceRegistered(const std::string& name) const;
  const std::vector<std::string>& getRegisteredServiceNames() const {
    return mRegisteredServiceNames;
  }

  /* Acts on the controller switch of cmdLine (see the top of this file);
   * the remaining switches are passed to the service as its arguments. */
  int run(CCmdLine& cmdLine) override;
  /* Builds a CCmdLine with the switch character "-" and runs it. */
  int run(int argc, char** argv) override;
  /* stopService, then startService. */
  void restartService(const std::string& name, const std::vector<std::string>& args) override;
  /* The usage of the named service; raises what getService raises. */
  std::string getServiceUsage(const std::string& name) override;
  /* The seven lines of the controller switches. */
  std::string getControllerUsage() override;
  /* The whole usage text for the program exeName. */
  std::string getUsage(const std::string& exeName) override;

  /* One usage line: label right-aligned in USAGE_LABEL_WIDTH columns (a
   * longer label is not cut), the description and a line end. */
  static std::string usageLine(const std::string& label, const std::string& description);

 protected:
  /* The controller of this process, once one was created. */
  static CServiceControllerBase* mSingleInstance;

  std::vector<std::string> mRegisteredServiceNames;
};

#endif /* SERVICECONTROLLER_H */
