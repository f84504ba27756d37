/* Service.h - what a program does, apart from how it is started: the service interface and its base.
 *
 * A service has a name (the key under which a controller registers it), a
 * display name, a description, a start type and a run operation that takes
 * the service's arguments and returns its exit status. CServiceBase keeps
 * the identity and gives neutral defaults; serviceStopped() is left to the
 * concrete service (the daemon answers it from its signal flag).
 *
 * Thread safety: the identity is written at construction (and the start
 * type through its setter during set-up); reading it from several threads
 * afterwards is safe. run() belongs to the controlling thread.
 */
#ifndef SERVICE_H
#define SERVICE_H

#include <string>
#include <vector>

class IService {
 public:
  enum StartType {
    START_MANUALLY = 0,
    START_AUTOMATICALLY = 1,
    START_AUTOMATICALLY_NOW = 2,
    START_DEACTIVATED = 3
  };

  virtual ~IService() = default;

  /* Runs the service with its arguments; returns its exit status. Failures
   * raise exceptions of the CException family. */
  virtual int run(const std::vector<std::string>& args) = 0;
  virtual std::string getName() const = 0;
  virtual std::string getDisplayName() const = 0;
  virtual std::string getDescription() const = 0;
  virtual StartType getStartType() const = 0;
  virtual void setStartType(StartType type) = 0;
  /* Usage text of the service's own options; empty when it has none. */
  virtual std::string getUsage() const = 0;
  /* True once the service has been asked to end. */
  virtual bool serviceStopped() = 0;
  /* Installs the process's signal handlers for this kind of service. */
  virtual void installSignalHandlers() = 0;
};

class CServiceBase : public IService {
 public:
  /* Never fails (beyond std::bad_alloc). */
  CServiceBase(const std::string& name, const std::string& displayName,
               const std::string& description, StartType startType = START_AUTOMATICALLY);
  ~CServiceBase() override = default;
  CServiceBase(const CServiceBase&) = delete;
  CServiceBase& operator=(const CServiceBase&) = delete;

  /* Does nothing and returns 0. */
  int run(const std::vector<std::string>& args) override;
  std::string getName() const override { return mName; }
  std::string getDisplayName() const override { return mDisplayName; }
  std::string getDescription() const override { return mDescription; }
  StartType getStartType() const override { return mStartType; }
  void setStartType(StartType type) override { mStartType = type; }
  /* The empty text. */
  std::string getUsage() const override;
  /* Does nothing. */
  void installSignalHandlers() override;

 protected:
  std::string mName;
  std::string mDisplayName;
  std::string mDescription;
  StartType mStartType;
};

#endif /* SERVICE_H */
