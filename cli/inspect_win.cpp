// korvel --list and --check on Windows: the power plan decides there, and
// only an administrator may list what holds the machine awake (powercfg
// /requests), so --list says where to look.
#include "inspect.h"

namespace korcli::inspect {

hold_list list_holds() {
    hold_list out;
    out.unlisted.push_back({"Windows", "only an administrator can list them, with 'powercfg /requests'"});
    return out;
}

login_policy read_login_policy() {
    login_policy out;
    out.problem = "on Windows the power plan decides what the lid and idle do ('powercfg /q')";
    return out;
}

lid_setting lid_switch_ignore_inhibited() { return {}; }

std::string session_bus_problem() { return "Windows has no session bus"; }

std::string polkit_example_rule() { return ""; }

std::string this_user() { return "this user"; }

std::string this_user_name() { return ""; }

}  // namespace korcli::inspect
