#include "notesapi/fault_injection.h"

namespace notesapi {

void FaultInjectionPlatform::FailCall(const std::string& service, uint32_t occurrence, Status status,
                                      uint32_t times) {
  faults_[service].push_back(Fault{occurrence == 0 ? 1 : occurrence, times, status});
}

void FaultInjectionPlatform::ClearFaults() { faults_.clear(); }

uint32_t FaultInjectionPlatform::CallCount(const std::string& service) const {
  auto it = calls_.find(service);
  return it == calls_.end() ? 0 : it->second;
}

std::vector<std::string> FaultInjectionPlatform::Services() const {
  std::vector<std::string> names;
  for (const auto& [name, count] : calls_) names.push_back(name);
  return names;
}

Status FaultInjectionPlatform::Intercept(const char* service) {
  uint32_t n = ++calls_[service];
  auto it = faults_.find(std::string_view(service));
  if (it == faults_.end()) return kNoError;
  for (const Fault& fault : it->second) {
    bool afterFirst = n >= fault.first;
    bool withinCount = fault.times == 0 || n < fault.first + fault.times;
    if (afterFirst && withinCount) {
      ++faultsFired_;
      return fault.status;
    }
  }
  return kNoError;
}

}  // namespace notesapi
