// The base of the port library's components: the framework state they
// share and the library version they report.
#pragma once

#include <string>

class TApdBaseComponent {
 public:
  virtual ~TApdBaseComponent() = default;

  // Always the library's version; assigning it changes nothing (the
  // property is published only so that it can be seen).
  std::string Version() const;
  void SetVersion(const std::string& value);

  // Set while the component's settings are being read from its form
  // description: errors are then returned instead of raised.
  bool Loading() const { return loading_; }
  void SetLoading(bool loading) { loading_ = loading; }

  // Design-time editing; this program never designs, but the state exists.
  bool Designing() const { return designing_; }
  void SetDesigning(bool designing) { designing_ = designing; }

 private:
  bool loading_ = false;
  bool designing_ = false;
};
