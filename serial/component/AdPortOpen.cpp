#include "AdPortOpen.h"

#include "AdPlatform.h"
#include "AwErrorCodes.h"
#include "AwMessages.h"

std::string PortDeviceName(uint16_t ComNumber) { return "\\\\.\\COM" + std::to_string(ComNumber); }

std::string PortLabelOf(uint16_t ComNumber) {
  std::string label = "COM" + std::to_string(ComNumber);
  const std::string device = PortDeviceName(ComNumber);
  const std::string path = PortDevicePath(device);
  if (path != device && path != label) label += " (" + path + ")";
  return label;
}

int32_t TranslateOpenResult(int32_t Result) {
  if (PortHeldByAnotherProgram(Result)) return ecode::AlreadyOpen;
  if (PortMissing(Result)) return ecode::BadId;
  return Result;
}

std::string OpenFailureReason(int32_t Result) {
  if (PortHeldByAnotherProgram(Result)) return "in use by another program";
  if (PortMissing(Result)) return "no such device";
  if (PortPermissionDenied(Result)) return "permission denied (is the user in the dialout group?)";
  return ErrorMessageText(Result);
}
