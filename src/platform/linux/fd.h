// Descriptors known by what they refer to, not only by their number. A host
// may close every descriptor it did not open (daemonizing code does) and get
// the same numbers back for files of its own: the layer then must neither
// write to, nor close, nor count on a number that is no longer its own.
#ifndef KOR_LINUX_FD_H
#define KOR_LINUX_FD_H

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <utility>

namespace kor_linux {

// fstat straight from the kernel. glibc 2.33 made fstat a symbol of its own
// (fstat@GLIBC_2.33; older headers turned the call into __fxstat), which
// would be the library's only need beyond glibc 2.28. On 64-bit Linux the
// kernel's struct stat is glibc's.
inline int fstat_fd(int fd, struct stat *st) noexcept {
#if defined(__LP64__) && defined(SYS_fstat)
    return static_cast<int>(syscall(SYS_fstat, fd, st));
#else
    return fstat(fd, st);
#endif
}

struct fd_identity {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;

    static fd_identity of(int fd) noexcept {
        fd_identity id;
        struct stat st {};
        if (fd >= 0 && fstat_fd(fd, &st) == 0) id = {fd, st.st_dev, st.st_ino};
        return id;
    }
    // The number still refers to the file it referred to when taken.
    bool still_open() const noexcept {
        struct stat st {};
        return fd >= 0 && fstat_fd(fd, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
    }
    // Closes the number if it is still what it was.
    void close_if_same() const noexcept {
        if (still_open()) ::close(fd);
    }
};

// A descriptor the layer opened and closes, unless it is no longer its own.
class owned_fd {
public:
    owned_fd() = default;
    explicit owned_fd(int fd) noexcept : id_(fd_identity::of(fd)) {}
    owned_fd(owned_fd &&other) noexcept : id_(std::exchange(other.id_, fd_identity{})) {}
    owned_fd &operator=(owned_fd &&other) noexcept {
        if (this != &other) {
            reset();
            id_ = std::exchange(other.id_, fd_identity{});
        }
        return *this;
    }
    owned_fd(const owned_fd &) = delete;
    owned_fd &operator=(const owned_fd &) = delete;
    ~owned_fd() { reset(); }

    int get() const noexcept { return id_.fd; }
    bool valid() const noexcept { return id_.fd >= 0; }
    bool still_ours() const noexcept { return id_.still_open(); }
    void reset() noexcept {
        id_.close_if_same();
        id_ = fd_identity{};
    }

private:
    fd_identity id_;
};

}  // namespace kor_linux

#endif  // KOR_LINUX_FD_H
