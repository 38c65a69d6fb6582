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

  // The owner sets the component's properties between these two calls as
  // its form description would; EndLoading then runs the Loaded hook.
  void BeginLoading() { loading_ = true; }
  void EndLoading();

  // Design-time editing; this program never designs, but the state exists.
  bool Designing() const { return designing_; }
  void SetDesigning(bool designing) { designing_ = designing; }

 protected:
  // End of loading: the component applies what only loading could defer.
  virtual void Loaded() {}

 private:
  bool loading_ = false;
  bool designing_ = false;
};
