// Preloaded into vendor-name by the tests to play a file system that reports
// less, or fails more, than ext4 does:
//   VENDOR_NAME_FAULT_UNKNOWN_TYPE=file  every entry's type is reported as
//                                        unknown, and file is created to
//                                        show that it was;
//   VENDOR_NAME_FAULT_EIO_DIR=name       reading a directory called name
//                                        fails with EIO once it has given
//                                        its first entry.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool is_named(DIR* dir, const char* name)
{
    char target[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(dirfd(dir));
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0)
        return false;
    target[n] = '\0';
    const char* slash = std::strrchr(target, '/');
    return std::strcmp(slash ? slash + 1 : target, name) == 0;
}

bool is_dot_or_dot_dot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// readdir and readdir64 share one record layout on 64-bit Linux.
template <typename Entry>
Entry* hooked(DIR* dir, const char* symbol)
{
    static const auto real = reinterpret_cast<Entry* (*)(DIR*)>(dlsym(RTLD_NEXT, symbol));
    static const char* const eio_dir = std::getenv("VENDOR_NAME_FAULT_EIO_DIR");
    static const char* const marker = std::getenv("VENDOR_NAME_FAULT_UNKNOWN_TYPE");
    static DIR* last_dir = nullptr;
    static bool gave_entry = false;

    if (dir != last_dir) {
        last_dir = dir;
        gave_entry = false;
    }
    const int saved_errno = errno;
    if (eio_dir != nullptr && gave_entry && is_named(dir, eio_dir)) {
        errno = EIO;
        return nullptr;
    }
    errno = saved_errno;
    Entry* ent = real(dir);
    if (ent == nullptr)
        return ent;
    gave_entry = gave_entry || !is_dot_or_dot_dot(ent->d_name);
    if (marker != nullptr) {
        static bool marked = false;
        if (!marked) {
            marked = true;
            const int fd = open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0)
                close(fd);
            errno = saved_errno;
        }
        ent->d_type = DT_UNKNOWN;
    }
    return ent;
}

}  // namespace

extern "C" dirent* readdir(DIR* dir)
{
    return hooked<dirent>(dir, "readdir");
}

extern "C" dirent64* readdir64(DIR* dir)
{
    return hooked<dirent64>(dir, "readdir64");
}
