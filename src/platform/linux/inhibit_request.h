// What the Linux layer asks of logind and of the desktop's services for one
// inhibition.
#ifndef KOR_LINUX_INHIBIT_REQUEST_H
#define KOR_LINUX_INHIBIT_REQUEST_H

#include <string>

namespace kor_linux {

// What every service is told. Neither text is empty: some services refuse
// empty ones.
struct inhibit_request {
    bool keep_display = false;
    std::string app_id;  // the host program's name
    std::string reason;  // the activation's name, or a default sentence
};

}  // namespace kor_linux

#endif  // KOR_LINUX_INHIBIT_REQUEST_H
