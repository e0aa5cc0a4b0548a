#ifndef KOR_WIN_ERROR_CAPTURE_H
#define KOR_WIN_ERROR_CAPTURE_H

// The last message the platform layer set through kor_set_error.
const char *captured_error();
void clear_captured_error();

#endif // KOR_WIN_ERROR_CAPTURE_H
