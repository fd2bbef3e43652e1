// Preloaded into vendor-name by the tests to play a file system that reports
// less, or fails more, than ext4 does:
//   VENDOR_NAME_FAULT_UNKNOWN_TYPE=file  every entry's type is reported as
//                                        unknown, and file is created to
//                                        show that it was;
//   VENDOR_NAME_FAULT_EIO_AFTER=name     reading on in the directory that
//                                        has just given an entry called
//                                        name fails with EIO;
//   VENDOR_NAME_FAULT_CLOSE_EIO=1        closing a stream closes it but
//                                        fails with EIO, as NFS reports a
//                                        failed write-back.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// readdir and readdir64 share one record layout on 64-bit Linux.
template <typename Entry>
Entry* hooked(DIR* dir, const char* symbol)
{
    static const auto real = reinterpret_cast<Entry* (*)(DIR*)>(dlsym(RTLD_NEXT, symbol));
    static const char* const eio_after = std::getenv("VENDOR_NAME_FAULT_EIO_AFTER");
    static const char* const marker = std::getenv("VENDOR_NAME_FAULT_UNKNOWN_TYPE");
    // The directory that gave the entry; a walk may go down into other
    // directories before it reads on here.
    static DIR* failing = nullptr;

    if (dir == failing) {
        errno = EIO;
        return nullptr;
    }
    Entry* ent = real(dir);
    if (ent == nullptr)
        return ent;
    if (eio_after != nullptr && std::strcmp(ent->d_name, eio_after) == 0)
        failing = dir;
    if (marker != nullptr) {
        static bool marked = false;
        if (!marked) {
            const int saved_errno = errno;
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

extern "C" int fclose(FILE* stream)
{
    static const auto real = reinterpret_cast<int (*)(FILE*)>(dlsym(RTLD_NEXT, "fclose"));
    const int status = real(stream);
    if (status != 0 || std::getenv("VENDOR_NAME_FAULT_CLOSE_EIO") == nullptr)
        return status;
    errno = EIO;
    return EOF;
}
