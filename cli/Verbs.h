// Verbs: what each command of krm4610 does, from its checked command line
// to its output and exit status.
#pragma once

#include "CliOptions.h"

// The exit status; throws TUsageError and TCommandFailure.
int RunVerb(const TInvocation& Invocation);
