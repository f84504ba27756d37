/* Service.cpp - base of every service: identity and neutral defaults.
 *
 * The base service runs nothing, has no usage text and installs no signal
 * handlers; concrete services override what they need.
 */
#include "Service.h"

/* Never fails. */
CServiceBase::CServiceBase(const std::string& name, const std::string& displayName,
                           const std::string& description, StartType startType)
    : mName(name), mDisplayName(displayName), mDescription(description), mStartType(startType) {}

/* Never fails; the base service has nothing to do. */
int CServiceBase::run(const std::vector<std::string>& args) {
  (void)args;
  return 0;
}

/* Never fails. */
std::string CServiceBase::getUsage() const { return std::string(); }

/* Never fails; the base service keeps the default signal dispositions. */
void CServiceBase::installSignalHandlers() {}
