// Test seams of the Windows platform layer. Internal: nothing here leaves the
// DLL (only the five KORVEL_API functions are exported).
#ifndef KOR_WIN_SEAM_H
#define KOR_WIN_SEAM_H

#include <cstdint>

// Stands in for SetThreadExecutionState: receives the ES_* flags and returns
// the previous state, or 0 for a refusal. Wine never refuses the call and
// keeps one state per process, so refusals and per-thread behaviour can only
// be observed through this hook.
using kor_win_exec_state_fn = uint32_t (*)(uint32_t flags);

// Routes every execution-state call of the layer to `fn` (null restores
// SetThreadExecutionState). The hook runs on the layer's request thread, the
// one thread that makes these calls.
void kor_win_set_exec_state_fn(kor_win_exec_state_fn fn);

// The matching rule of kor_plat_find_process: `exe_name` (a process record's
// executable name) matches `name` when the two are equal ignoring ASCII case,
// or when `exe_name` is `name` followed by ".exe", ignoring ASCII case.
bool kor_win_name_matches(const char *exe_name, const char *name);

// The id of the layer's request thread, or 0 while it has not been started.
uint32_t kor_win_request_thread_id();

#endif  // KOR_WIN_SEAM_H
