// logind's settings files as logind reads them, for the settings it does not
// publish on the bus. systemd's logind and elogind (logind without systemd)
// read the same format from folders of their own.
#ifndef KORVEL_CLI_LOGIND_CONF_H
#define KORVEL_CLI_LOGIND_CONF_H

#include "inspect.h"

#include <string>

namespace korcli::inspect {

enum class logind_daemon { systemd, elogind };

// The daemon an executable's name (its path, or its process name) is.
logind_daemon logind_daemon_named(const std::string &name);

// LidSwitchIgnoreInhibited as `daemon` reads it: the main file, then the
// drop-ins in the order of their file names. Every path read is below
// `root` ("" on the machine; tests give a tree of their own); the paths
// reported are logind's.
lid_setting read_lid_setting(logind_daemon daemon, const std::string &root = "");

}  // namespace korcli::inspect

#endif  // KORVEL_CLI_LOGIND_CONF_H
