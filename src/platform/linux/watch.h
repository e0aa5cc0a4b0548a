// The Linux layer's watch (watch.cpp), as tests reach it.
#ifndef KOR_LINUX_WATCH_H
#define KOR_LINUX_WATCH_H

namespace kor_linux {

// Tests take the path of kernels and sandboxes that refuse pidfd_open.
void refuse_pidfd_for_tests(bool refuse);

}  // namespace kor_linux

#endif  // KOR_LINUX_WATCH_H
