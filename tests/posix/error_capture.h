// The platform layer reports failures through kor_set_error, which the core
// normally provides. These tests link the platform without the core, so this
// stand-in keeps the last message for assertions.
#ifndef KORVEL_POSIX_ERROR_CAPTURE_H
#define KORVEL_POSIX_ERROR_CAPTURE_H

#include <string>

namespace posixtest {

// The text of the last kor_set_error call since clear_error(), "" if none.
std::string last_error();
// How many times kor_set_error was called since clear_error().
int error_count();
void clear_error();

} // namespace posixtest

#endif // KORVEL_POSIX_ERROR_CAPTURE_H
