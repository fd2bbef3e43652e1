// Preloaded into vendor-name by the tests to play a file system that reports
// less, or fails more, than ext4 does:
//   VENDOR_NAME_FAULT_UNKNOWN_TYPE  every entry's type is reported as unknown;
//   VENDOR_NAME_FAULT_EIO_DIR=name  reading a directory called name fails with
//                                   EIO after its first batch of entries.
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool is_named(int fd, const char* name)
{
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0)
        return false;
    target[n] = '\0';
    const char* slash = std::strrchr(target, '/');
    return std::strcmp(slash ? slash + 1 : target, name) == 0;
}

}  // namespace

extern "C" ssize_t getdents64(int fd, void* buf, size_t size)
{
    static const auto real = reinterpret_cast<ssize_t (*)(int, void*, size_t)>(dlsym(RTLD_NEXT, "getdents64"));
    static const char* const eio_dir = std::getenv("VENDOR_NAME_FAULT_EIO_DIR");
    static const bool unknown_type = std::getenv("VENDOR_NAME_FAULT_UNKNOWN_TYPE") != nullptr;
    static int last_fd = -1;
    static int calls = 0;

    calls = fd == last_fd ? calls + 1 : 1;
    last_fd = fd;
    if (eio_dir != nullptr && calls > 1 && is_named(fd, eio_dir)) {
        errno = EIO;
        return -1;
    }
    const ssize_t n = real(fd, buf, size);
    for (ssize_t pos = 0; unknown_type && pos < n;) {
        auto* ent = reinterpret_cast<dirent64*>(static_cast<char*>(buf) + pos);
        ent->d_type = DT_UNKNOWN;
        pos += ent->d_reclen;
    }
    return n;
}
