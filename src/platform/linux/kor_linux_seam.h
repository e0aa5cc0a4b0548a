// Test seams of the Linux platform layer. Internal: nothing here leaves the
// library (only the five KORVEL_API functions are exported).
#ifndef KOR_LINUX_SEAM_H
#define KOR_LINUX_SEAM_H

namespace kor_linux {

// Inside a Flatpak sandbox only the portal is reachable. Tests point the
// check at a file of their own; null restores "/.flatpak-info".
void set_sandbox_marker_for_tests(const char *path);

// Tests take the path of kernels and sandboxes that refuse pidfd_open.
void refuse_pidfd_for_tests(bool refuse);

}  // namespace kor_linux

#endif  // KOR_LINUX_SEAM_H
