// The platform layer reports failures through kor_set_error, which the core
// normally provides. Tests that link a platform layer without the core (Linux
// and Windows alike) use this stand-in, which keeps the last message.
#ifndef KORVEL_TEST_ERROR_CAPTURE_H
#define KORVEL_TEST_ERROR_CAPTURE_H

#include <string>

namespace kortest {

// The text of the last kor_set_error call since clear_error(), "" if none.
std::string last_error();
// How many times kor_set_error was called since clear_error().
int error_count();
void clear_error();

}  // namespace kortest

#endif  // KORVEL_TEST_ERROR_CAPTURE_H
