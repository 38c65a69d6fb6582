// krm4610: the command-line companion of the KRM4610 utility, for scripted
// commissioning: one verb per task, a table or JSON on stdout, progress on
// stderr, and an exit status that tells what happened.
#include "CliOptions.h"
#include "KrmSession.h"
#include "Verbs.h"

#include <csignal>
#include <iostream>

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // a closed pipe shows as a failed write, not a death
  try {
    const TInvocation invocation = ParseCommandLine({argv + 1, argv + argc});
    if (invocation.Help) {
      std::cout << (invocation.Verb.empty() ? ProgramHelp() : VerbHelp(invocation.Verb));
      return 0;
    }
    return RunVerb(invocation);
  } catch (const TUsageError& E) {
    std::cerr << "krm4610: " << E.what() << "\n" << UsageLine(E.Verb) << "\n"
              << "Try 'krm4610" << (E.Verb.empty() ? "" : " " + E.Verb) << " --help'.\n";
    return ExitUsage;
  } catch (const TCommandFailure& E) {
    std::cerr << "krm4610: " << E.what() << "\n";
    return E.Code;
  }
}
