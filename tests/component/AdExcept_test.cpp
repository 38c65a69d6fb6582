#include "AdExcept.h"
#include "AwErrorCodes.h"

#include <gtest/gtest.h>

#include <set>
#include <typeindex>
#include <typeinfo>

#include "OoMisc.h"

namespace {

// What CheckPortResult raised for a code.
struct Raised {
  std::type_index type = typeid(void);
  const Exception* exception = nullptr;
  int32_t apdCode = 0;  // EAPDException::ErrorCode
  int32_t ioCode = 0;   // EInOutError::ErrorCode
  std::string message;
};

template <class F>
Raised Catch(F&& call) {
  Raised raised;
  try {
    call();
    ADD_FAILURE() << "nothing raised";
  } catch (const EAPDException& e) {
    raised.type = typeid(e);
    raised.apdCode = e.ErrorCode;
    raised.message = e.Message();
  } catch (const EInOutError& e) {
    raised.type = typeid(e);
    raised.ioCode = e.ErrorCode;
    raised.message = e.Message();
  } catch (const Exception& e) {
    raised.type = typeid(e);
    raised.message = e.Message();
  }
  return raised;
}

Raised Check(int32_t code) {
  return Catch([code] { CheckPortResult(nullptr, code); });
}

template <class Family>
bool RaisesFamily(int32_t code) {
  try {
    CheckPortResult(nullptr, code);
  } catch (const Family&) {
    return true;
  } catch (...) {
  }
  return false;
}

TEST(CheckPortResult, SerialPathCodesRaiseTheirClassAndText) {
  const struct {
    int32_t code;
    std::type_index type;
    const char* message;
  } rows[] = {
      {-1002, typeid(EBadArgument), "Bad argument passed to function"},
      {-1003, typeid(EGotQuitMsg), "Got quit message"},
      {-1004, typeid(EBufferTooBig), "Terminal buffer greater than 65521"},
      {-1005, typeid(EPortNotAssigned), "ComPort component not assigned"},
      {-1006, typeid(EInternal), "Internal error creating window class"},
      {-1007, typeid(EModemNotAssigned), "Modem component not assigned"},
      {-1008, typeid(EPhonebookNotAssigned), "Phonebook component not assigned"},
      {-1009, typeid(ECannotUseWithWinSock), "Component not compatible with WinSock"},
      {-2001, typeid(EBadId), "ie_BadId - Specified comport doesn't exist"},
      {-2002, typeid(EBaudRate), "ie_Baudrate - unsupported baud rate"},
      {-2003, typeid(EByteSize), "ie_Bytesize - invalid byte size"},
      {-2004, typeid(EDefault), "ie_Default - error in default parameters"},
      {-2005, typeid(EHardware), "ie_Hardware - Specified comport in use"},
      {-2006, typeid(EMemory), "ie_Memory - unable to allocate queues"},
      {-2007, typeid(ECommNotOpen), "ie_NOpen - device not open"},
      {-2008, typeid(EAlreadyOpen), "ie_Open - device already open"},
      {-2009, typeid(ENoHandles), "No more handles, can't open port"},
      {-2010, typeid(ENoTimers), "No timers available"},
      {-2011, typeid(ENoPortSelected), "The ComNumber property of the TApdComPort has not been set"},
      {-2012, typeid(ENotOpenedByTapi), "Comport was not opened by Tapi"},
      {-3001, typeid(ENullApi), "No device layer specified"},
      {-3003, typeid(ERegisterHandlerFailed), "EnableCommNotification failed"},
      {-3004, typeid(EPutBlockFail), "Failed to put entire block"},
      {-3005, typeid(EGetBlockFail), "Failed to get entire block"},
      {-3006, typeid(EOutputBufferTooSmall), "Output buffer too small for block"},
      {-3007, typeid(EBufferIsEmpty), "Buffer is empty"},
      {-3008, typeid(ETracingNotEnabled), "Tracing not enabled"},
      {-3009, typeid(ELoggingNotEnabled), "Logging not enabled"},
      {-3010, typeid(EBaseAddressNotSet), "Base address not set"},
      {-5001, typeid(ENoMoreTriggers), "No more trigger slots"},
      {-5002, typeid(ETriggerTooLong), "Data trigger too long"},
      {-5003, typeid(EBadTriggerHandle), "Bad trigger handle"},
  };
  for (const auto& row : rows) {
    Raised raised = Check(row.code);
    EXPECT_EQ(raised.type, row.type) << row.code << " raised " << raised.type.name();
    EXPECT_EQ(raised.apdCode, row.code);
    EXPECT_EQ(raised.message, row.message) << row.code;
  }
}

TEST(CheckPortResult, CodesWithoutClassRaiseQeltException) {
  for (int32_t code : {-1, -163, -995, -1001, -3002, -4009, -5501, -6001, -6007, -7009, -7500,
                       -8006, -8500, -13804, -13849, -13887, -13933, -13979, -13981, INT32_MIN}) {
    Raised raised = Check(code);
    EXPECT_EQ(raised.type, std::type_index(typeid(EAPDException))) << code;
    EXPECT_EQ(raised.apdCode, 0) << code;
    EXPECT_EQ(raised.message, "Qelt exception") << code;
  }
}

TEST(CheckPortResult, RuntimeErrorRange) {
  const struct {
    int32_t code;
    const char* message;
  } rows[] = {{-2, "File not found"},       {-5, "File access denied"},
              {-6, "Invalid file handle"},  {-103, "File/device not open"},
              {-101, "Disk is full"},       {-162, "General failure"}};
  for (const auto& row : rows) {
    Raised raised = Check(row.code);
    EXPECT_EQ(raised.type, std::type_index(typeid(EInOutError))) << row.code;
    EXPECT_EQ(raised.ioCode, -row.code);
    EXPECT_EQ(raised.message, row.message);
  }

  EXPECT_EQ(Check(-8).type, std::type_index(typeid(EOutOfMemory)));

  // A negated system error in the range carries the system's own text.
  Raised eusers = Check(-87);
  EXPECT_EQ(eusers.type, std::type_index(typeid(EInOutError)));
  EXPECT_EQ(eusers.ioCode, 87);
#ifdef __linux__
  EXPECT_EQ(eusers.message, "Too many users");
#endif
  Raised denied = Check(-13);
  EXPECT_EQ(denied.ioCode, 13);
#ifdef __linux__
  EXPECT_EQ(denied.message, "Permission denied");
#endif
}

// A device layer's system error of its own range keeps the system's number
// and words, also where a runtime code shares the number with another meaning.
TEST(CheckPortResult, SystemErrorsKeepTheirOwnWords) {
#ifdef __linux__
  const struct {
    int number;
    const char* message;
  } rows[] = {{5, "Input/output error"}, {4, "Interrupted system call"},
              {6, "No such device or address"}, {2, "No such file or directory"}};
  for (const auto& row : rows) {
    Raised raised = Check(ecode::SystemError(row.number));
    EXPECT_EQ(raised.type, std::type_index(typeid(EInOutError))) << row.number;
    EXPECT_EQ(raised.ioCode, row.number);
    EXPECT_EQ(raised.message, row.message);
  }
#endif
  // The edges of the range: just outside it is no system error.
  EXPECT_EQ(Check(ecode::SystemErrorBase).message, "Qelt exception");
  EXPECT_EQ(Check(ecode::SystemError(1)).ioCode, 1);
  EXPECT_EQ(Check(ecode::SystemErrorBase - ecode::SystemErrorSpan).message, "Qelt exception");
}

TEST(CheckPortResult, FamiliesOfTheOtherCodes) {
  for (int32_t code = -1002; code >= -1009; --code) EXPECT_TRUE(RaisesFamily<EGeneral>(code)) << code;
  for (int32_t code = -2001; code >= -2012; --code) EXPECT_TRUE(RaisesFamily<EOpenComm>(code)) << code;
  for (int32_t code = -3001; code >= -3010; --code)
    EXPECT_EQ(RaisesFamily<ESerialIO>(code), code != -3002) << code;
  for (int32_t code = -4001; code >= -4008; --code) EXPECT_TRUE(RaisesFamily<EModem>(code)) << code;
  for (int32_t code = -5001; code >= -5003; --code) EXPECT_TRUE(RaisesFamily<ETrigger>(code)) << code;

  for (int32_t code = -7001; code >= -7014; --code) {
    bool internal = code == -7003 || code == -7006 || code == -7012;
    EXPECT_EQ(RaisesFamily<EINI>(code), !internal && code != -7009) << code;
    EXPECT_EQ(RaisesFamily<EInternal>(code), internal) << code;
    if (internal) {
      EXPECT_EQ(Check(code).apdCode, code);
    }
  }
  for (int32_t code = -6001; code >= -6016; --code) {
    bool protocol = code == -6006 || code == -6008 || code == -6009;
    EXPECT_EQ(RaisesFamily<EProtocol>(code), protocol) << code;
    if (protocol) {
      EXPECT_EQ(Check(code).type, std::type_index(typeid(EProtocol)));
    }
  }

  std::set<std::type_index> fax;
  for (int32_t code = -8001; code >= -8100; --code) {
    bool hasClass = code >= -8005 || code == -8053 || (code <= -8060 && code >= -8070);
    EXPECT_EQ(RaisesFamily<EFax>(code), hasClass) << code;
    if (hasClass) fax.insert(Check(code).type);
  }
  EXPECT_EQ(fax.size(), 17u);
  EXPECT_EQ(fax.count(typeid(EFax)), 0u);

  Raised ras = Check(-13980);
  EXPECT_EQ(ras.type, std::type_index(typeid(ERasLoadFail)));
  EXPECT_TRUE(RaisesFamily<ERas>(-13980));
}

TEST(CheckPortResult, EveryTelephonyCodeHasItsOwnLeaf) {
  std::set<std::type_index> leaves;
  for (int32_t code = -13801; code >= -13979; --code) {
    bool hasClass = (code >= -13886 && code != -13804 && code != -13849) ||
                    (code <= -13928 && code >= -13932) || code == -13935 || code == -13936 ||
                    code == -13942;
    EXPECT_EQ(RaisesFamily<ETapi>(code), hasClass) << code;
    if (!hasClass) continue;
    Raised raised = Check(code);
    EXPECT_EQ(raised.apdCode, code);
    leaves.insert(raised.type);
  }
  EXPECT_EQ(leaves.size(), 92u);
  EXPECT_EQ(leaves.count(typeid(ETapi)), 0u);
  EXPECT_EQ(Check(-13801).type, std::type_index(typeid(ETapiAllocated)));
  EXPECT_EQ(Check(-13815).type, std::type_index(typeid(ETapiInUse)));
  EXPECT_EQ(Check(-13872).type, std::type_index(typeid(ETapiOperationFailed)));
}

TEST(CheckPortResult, SuccessAndLoadingReturnTheCode) {
  EXPECT_EQ(CheckPortResult(nullptr, 0), 0);
  EXPECT_EQ(CheckPortResult(nullptr, 5), 5);
  EXPECT_EQ(CheckPortResult(nullptr, 32760), 32760);

  TApdBaseComponent component;
  component.SetLoading(true);
  EXPECT_EQ(CheckPortResult(&component, -2001), -2001);
  EXPECT_EQ(CheckPortResult(&component, -8), -8);
  EXPECT_EQ(CheckPortResult(&component, -3002), -3002);

  component.SetLoading(false);
  Raised raised = Catch([&] { CheckPortResult(&component, -2001); });
  EXPECT_EQ(raised.type, std::type_index(typeid(EBadId)));
}

TEST(EAPDException, BothConstructors) {
  EAPDException fromCode(-3007);
  EXPECT_EQ(fromCode.ErrorCode, -3007);
  EXPECT_EQ(fromCode.Message(), "Buffer is empty");
  EXPECT_STREQ(fromCode.what(), "Buffer is empty");

  EAPDException fromText(std::string("port gone"));
  EXPECT_EQ(fromText.ErrorCode, 0);
  EXPECT_EQ(fromText.Message(), "port gone");

  // Leaves keep both constructors.
  ENoPortSelected direct(-2011);
  EXPECT_EQ(direct.ErrorCode, -2011);
  EXPECT_EQ(direct.Message(), "The ComNumber property of the TApdComPort has not been set");
  ENullApi text(std::string("no layer"));
  EXPECT_EQ(text.ErrorCode, 0);
}

TEST(TApdBaseComponent, VersionIsFixedAndStateFlags) {
  TApdBaseComponent component;
  EXPECT_EQ(component.Version(), "v4.05");
  component.SetVersion("v9");
  EXPECT_EQ(component.Version(), "v4.05");

  EXPECT_FALSE(component.Loading());
  EXPECT_FALSE(component.Designing());
  component.SetDesigning(true);
  EXPECT_TRUE(component.Designing());
  EXPECT_FALSE(component.Loading());
}

}  // namespace
