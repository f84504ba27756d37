/* ServiceController.cpp - controller switches, dispatch and usage text shared by every controller.
 *
 * The concrete controller (the daemon controller) supplies registration,
 * start, stop, status and the platform-specific actions; this base decides
 * which of them a command line asks for.
 */
#include "ServiceController.h"

#include <iostream>

#include "Exception.h"
#include "KTDebug.h"

const char* const CServiceControllerBase::INSTALL_SWITCH = "-install";
const char* const CServiceControllerBase::UNINSTALL_SWITCH = "-remove";
const char* const CServiceControllerBase::CONSOLE_SWITCH = "-console";
const char* const CServiceControllerBase::START_SWITCH = "-start";
const char* const CServiceControllerBase::SYSTEM_START_SWITCH = "-runservice";
const char* const CServiceControllerBase::STOP_SWITCH = "-stop";
const char* const CServiceControllerBase::RESTART_SWITCH = "-restart";
const char* const CServiceControllerBase::STATUS_SWITCH = "-status";

CServiceControllerBase* CServiceControllerBase::mSingleInstance = nullptr;

/* Raises CException when a controller was created before. */
CServiceControllerBase::CServiceControllerBase() {
  if (mSingleInstance != nullptr) {
    throw CException(
        "CServiceControllerBase::CServiceControllerBase(): Cannot instantiate ServiceController more "
        "than once");
  }
  mSingleInstance = this;
}

/* Never fails. */
CServiceControllerBase::ServiceAction CServiceControllerBase::parseOptions(CCmdLine& cmdLine,
                                                                           std::string& service) {
  struct SwitchAction {
    const char* name;
    bool withValue;
    ServiceAction action;
  };
  const SwitchAction switches[] = {
      {SYSTEM_START_SWITCH, true, SYSTEM_START}, {CONSOLE_SWITCH, true, START_CONSOLE},
      {START_SWITCH, true, START},               {STOP_SWITCH, true, STOP},
      {RESTART_SWITCH, true, RESTART},           {INSTALL_SWITCH, false, INSTALL},
      {UNINSTALL_SWITCH, false, UNINSTALL},      {STATUS_SWITCH, false, STATUS},
  };
  for (const SwitchAction& sw : switches) {
    const bool present = sw.withValue ? cmdLine.popOption(sw.name, service) : cmdLine.popOption(sw.name);
    if (present) return sw.action;
  }
  return CANCEL;
}

/* Never fails; the base controller has no options of its own. */
bool CServiceControllerBase::parseOption(const std::vector<std::string>& args, size_t& position) {
  (void)args;
  (void)position;
  return false;
}

/* Ends the process through KT_ASSERT for an empty or repeated name. */
void CServiceControllerBase::registerServiceName(const std::string& name) {
  KT_ASSERT(!name.empty(), "ServiceController");
  KT_ASSERT(!isServiceRegistered(name), "ServiceController");
  mRegisteredServiceNames.push_back(name);
}

/* Never fails. */
bool CServiceControllerBase::isServiceRegistered(const std::string& name) const {
  for (const std::string& registered : mRegisteredServiceNames) {
    if (registered == name) return true;
  }
  return false;
}

/* Raises what the chosen action raises. */
int CServiceControllerBase::run(CCmdLine& cmdLine) {
  std::string service;
  const ServiceAction action = parseOptions(cmdLine, service);
  if (service.empty() && !mRegisteredServiceNames.empty()) service = mRegisteredServiceNames.front();
  KTDEBUG_MSG(KTDEBUG_CORE, "CServiceControllerBase::run(): action %d for service '%s'", (int)action,
              service.c_str());
  switch (action) {
    case INSTALL:
      return installServices();
    case UNINSTALL:
      return uninstallServices();
    case START:
      startService(service, cmdLine.getExtraOptions());
      return 0;
    case STOP:
      stopService(service);
      return 0;
    case RESTART:
      restartService(service, cmdLine.getExtraOptions());
      return 0;
    case START_CONSOLE:
      return startServiceConsole(service, cmdLine.getExtraOptions());
    case SYSTEM_START:
      runService(service);
      return 0;
    case STATUS:
      std::cout << getStatus();
      std::cout.flush();
      return 0;
    case CANCEL:
      break;
  }
  std::cout << getUsage(cmdLine.getExeName());
  std::cout.flush();
  return 0;
}

/* Raises what run(cmdLine) raises. */
int CServiceControllerBase::run(int argc, char** argv) {
  CCmdLine cmdLine(argc, argv, "-");
  return run(cmdLine);
}

/* Raises what stopService and startService raise; nothing is started when
 * the stop failed. */
void CServiceControllerBase::restartService(const std::string& name,
                                            const std::vector<std::string>& args) {
  stopService(name);
  startService(name, args);
}

/* Raises what getService raises for an unknown name. */
std::string CServiceControllerBase::getServiceUsage(const std::string& name) {
  return getService(name)->getUsage();
}

/* Never fails. */
std::string CServiceControllerBase::usageLine(const std::string& label,
                                              const std::string& description) {
  std::string line;
  if (label.size() < USAGE_LABEL_WIDTH) line.assign(USAGE_LABEL_WIDTH - label.size(), ' ');
  line += label;
  line += description;
  line += '\n';
  return line;
}

/* Never fails. */
std::string CServiceControllerBase::getControllerUsage() {
  return usageLine(std::string(INSTALL_SWITCH) + ": ", "Install registered services") +
         usageLine(std::string(UNINSTALL_SWITCH) + ": ", "Uninstall registered services") +
         usageLine(std::string(START_SWITCH) + " <service> [options]: ",
                   "Run <service>. If <service> is omitted, the first registered service is "
                   "started") +
         usageLine(std::string(STOP_SWITCH) + " <service>: ", "Stop <service>") +
         usageLine(std::string(RESTART_SWITCH) + " <service> [options]: ", "Restart running <service>") +
         usageLine(std::string(CONSOLE_SWITCH) + " <service> [options]: ", "Run <service> in foreground") +
         usageLine(std::string(STATUS_SWITCH) + ": ", "Show service status");
}

/* Raises what getServiceUsage raises for a registered name that the
 * concrete controller cannot give. */
std::string CServiceControllerBase::getUsage(const std::string& exeName) {
  std::string usage = "Usage: " + exeName + " <switch> [service] [service specific options]\n";
  usage += "\n";
  usage += getControllerUsage();
  usage += "\n";
  usage += "Registered services:\n";
  for (const std::string& name : mRegisteredServiceNames) {
    usage += name;
    usage += "\n";
    const std::string serviceUsage = getServiceUsage(name);
    if (!serviceUsage.empty()) {
      usage += serviceUsage;
      usage += "\n";
    }
  }
  return usage;
}
