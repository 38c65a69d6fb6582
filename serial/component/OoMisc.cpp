#include "OoMisc.h"

#include "AwMessages.h"

std::string TApdBaseComponent::Version() const { return QeltVersion; }

void TApdBaseComponent::SetVersion(const std::string&) {}

void TApdBaseComponent::EndLoading() {
  loading_ = false;
  Loaded();
}
