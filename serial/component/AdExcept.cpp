#include "AdExcept.h"

#include <algorithm>
#include <array>

#include "AwErrorCodes.h"
#include "AwMessages.h"
#include "OoMisc.h"

EAPDException::EAPDException(int32_t code) : Exception(ErrorMessageText(code)), ErrorCode(code) {}

EAPDException::EAPDException(const std::string& text) : Exception(text), ErrorCode(0) {}

namespace {

using TRaiser = void (*)(int32_t code);

template <class E>
[[noreturn]] void Raise(int32_t code) {
  throw E(code);
}

struct TCodeClass {
  int32_t Code;
  TRaiser Thrower;
};

#define QELT_CODE_CLASS(Name, Base, Code) {Code, Raise<Name>},
constexpr auto CodeClasses = std::to_array<TCodeClass>({
    QELT_LEAF_EXCEPTIONS(QELT_CODE_CLASS)
    // Codes that share a class.
    {-7003, Raise<EInternal>},
    {-7006, Raise<EInternal>},
    {-7012, Raise<EInternal>},
    {-6006, Raise<EProtocol>},
    {-6008, Raise<EProtocol>},
    {-6009, Raise<EProtocol>},
});
#undef QELT_CODE_CLASS

}  // namespace

int32_t CheckPortResult(const TApdBaseComponent* component, int32_t code) {
  if (code >= 0 || (component && component->Loading())) return code;

  auto own = std::find_if(CodeClasses.begin(), CodeClasses.end(),
                          [code](const TCodeClass& entry) { return entry.Code == code; });
  if (own != CodeClasses.end()) own->Thrower(code);

  // The device layer's own system errors: the system's text and number.
  if (ecode::IsSystemError(code)) throw EInOutError(ErrorMessageText(code), ecode::SystemErrorNumber(code));
  if (code >= ecode::LowestIoError && code <= ecode::HighestIoError) {
    if (code == ecode::OutOfMemory) throw EOutOfMemory();
    throw EInOutError(ErrorMessageText(code), -code);
  }
  throw EAPDException(std::string("Qelt exception"));
}
