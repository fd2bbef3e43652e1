// Preloaded into vendor-name by the tests to play a file system that reports
// less, or fails more, than ext4 does:
//   VENDOR_NAME_FAULT_UNKNOWN_TYPE  every entry's type is reported as unknown;
//   VENDOR_NAME_FAULT_EIO_DIR=name  reading a directory called name fails with
//                                   EIO after two entries.
#include <dirent.h>
#include <dlfcn.h>
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

template <typename Entry>
Entry* faulty(const char* symbol, DIR* dir)
{
    static const auto real = reinterpret_cast<Entry* (*)(DIR*)>(dlsym(RTLD_NEXT, symbol));
    static const char* const eio_dir = std::getenv("VENDOR_NAME_FAULT_EIO_DIR");
    static const bool unknown_type = std::getenv("VENDOR_NAME_FAULT_UNKNOWN_TYPE") != nullptr;
    static DIR* last = nullptr;
    static int served = 0;

    if (dir != last) {
        last = dir;
        served = 0;
    }
    if (eio_dir != nullptr && ++served > 2 && is_named(dir, eio_dir)) {
        errno = EIO;
        return nullptr;
    }
    Entry* entry = real(dir);
    if (entry != nullptr && unknown_type)
        entry->d_type = DT_UNKNOWN;
    return entry;
}

}  // namespace

extern "C" dirent* readdir(DIR* dir)
{
    return faulty<dirent>("readdir", dir);
}

extern "C" dirent64* readdir64(DIR* dir)
{
    return faulty<dirent64>("readdir64", dir);
}
