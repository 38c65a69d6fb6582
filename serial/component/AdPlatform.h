// The device layer the component opens ports with on this platform.
#pragma once

#ifdef _WIN32
#include "AwWin32.h"
using TPlatformDispatcher = TApdWin32Dispatcher;
#else
#include "AwPosix.h"
using TPlatformDispatcher = TApdPosixDispatcher;
#endif
