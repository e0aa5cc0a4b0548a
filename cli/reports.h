// korvel --list and korvel --check: what they print, and their exit status.
#ifndef KORVEL_CLI_REPORTS_H
#define KORVEL_CLI_REPORTS_H

#include "arguments.h"

#include <string>

namespace korcli {

// Every hold that logind and the desktop session list, as a table or JSON.
int list_holds(bool json);

// Whether a lock can be taken here, and what the lid switch, logind's idle
// action and the desktop will do while it is held; what to do about each.
int check_machine(const invocation &inv);

// `text` fit for a terminal: valid UTF-8, with control characters as '?'.
std::string printable(const std::string &text);

}  // namespace korcli

#endif  // KORVEL_CLI_REPORTS_H
