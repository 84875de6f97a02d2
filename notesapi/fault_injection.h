// Fault injection over any Platform: makes the Nth call of a named service
// fail with a chosen status, so every failure path of the code above the
// platform can be reached in a test.
//
//   FaultInjectionPlatform faulty(&host);
//   faulty.FailCall("NoteUpdate", 2, kDatabaseLocked);  // 2nd save fails
#ifndef NOTESAPI_FAULT_INJECTION_H_
#define NOTESAPI_FAULT_INJECTION_H_

#include <map>
#include <string>
#include <vector>

#include "notesapi/platform_wrapper.h"

namespace notesapi {

class FaultInjectionPlatform : public PlatformWrapper {
 public:
  explicit FaultInjectionPlatform(Platform* target) : PlatformWrapper(target) {}

  // Makes calls number `occurrence` .. occurrence+times-1 (counted from 1
  // over the life of this wrapper) of `service` fail with `status`.
  // times 0 means every call from `occurrence` on.
  void FailCall(const std::string& service, uint32_t occurrence, Status status, uint32_t times = 1);
  // Forgets every planned fault; call counts stay.
  void ClearFaults();
  // How often a service was called (including failed calls).
  uint32_t CallCount(const std::string& service) const;
  // Every service called so far.
  std::vector<std::string> Services() const;
  // How many planned faults have fired.
  uint32_t FaultsFired() const { return faultsFired_; }

 protected:
  Status Intercept(const char* service) override;

 private:
  struct Fault {
    uint32_t first;
    uint32_t times;
    Status status;
  };
  std::map<std::string, uint32_t, std::less<>> calls_;
  std::map<std::string, std::vector<Fault>, std::less<>> faults_;
  uint32_t faultsFired_ = 0;
};

}  // namespace notesapi

#endif  // NOTESAPI_FAULT_INJECTION_H_
