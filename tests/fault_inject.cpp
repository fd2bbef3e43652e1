// SPDX-License-Identifier: Apache-2.0
// Copyright The vendor-name authors
// Preloaded into vendor-name by the tests to play a file system or machine
// that reports less, or fails more, than this one. Settings:
//   VENDOR_NAME_FAULT_UNKNOWN_TYPE=file  entries' types read as unknown; file shows it
//   VENDOR_NAME_FAULT_EIO_AFTER=name     reading on after an entry name fails with EIO
//   VENDOR_NAME_FAULT_GONE=name          directory name is removed once it has been read
//   VENDOR_NAME_FAULT_NO_MEMORY=n        once an entry is read, allocations of n bytes or more fail
//   VENDOR_NAME_FAULT_NO_THROW_MEMORY=1  the runtime has no memory for exceptions, nor its reserve at start
//   VENDOR_NAME_FAULT_WRITE_EPIPE=1      the first writev to a file fails as if its reader had gone
//   VENDOR_NAME_FAULT_CLOSE_EIO=1        closing a stream closes it but fails, as NFS can
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

extern "C" void* __libc_malloc(std::size_t size);

namespace {

std::size_t no_memory_from = ~std::size_t{0};  // the smallest allocation that fails

template <typename Function>
Function* real(const char* symbol)
{
    return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, symbol));
}

// readdir and readdir64 share one record layout on 64-bit Linux.
template <typename Entry>
Entry* hooked(DIR* dir, const char* symbol)
{
    static const auto next = real<Entry*(DIR*)>(symbol);
    static const char* const eio_after = std::getenv("VENDOR_NAME_FAULT_EIO_AFTER");
    static const char* const gone = std::getenv("VENDOR_NAME_FAULT_GONE");
    static const char* const marker = std::getenv("VENDOR_NAME_FAULT_UNKNOWN_TYPE");
    static const char* const no_memory = std::getenv("VENDOR_NAME_FAULT_NO_MEMORY");
    // The directory that gave the entry; a walk may go down into other
    // directories before it reads on here.
    static DIR* failing = nullptr;

    if (dir == failing) {
        errno = EIO;
        return nullptr;
    }
    Entry* ent = next(dir);
    if (ent == nullptr)
        return ent;
    if (no_memory != nullptr)
        no_memory_from = std::strtoul(no_memory, nullptr, 10);
    if (eio_after != nullptr && std::strcmp(ent->d_name, eio_after) == 0)
        failing = dir;
    // A removed directory keeps its type, so that every walk tries to enter it.
    if (gone != nullptr && std::strcmp(ent->d_name, gone) == 0) {
        unlinkat(dirfd(dir), gone, AT_REMOVEDIR);
    } else if (marker != nullptr) {
        [[maybe_unused]] static const int made = close(open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
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

// With no memory for exceptions, libstdc++ gets none for an exception, nor
// for its reserve of them, its only allocation of 64 KiB or more before main.
extern "C" void* malloc(std::size_t size)
{
    Dl_info info;
    if (size >= no_memory_from
        || (std::getenv("VENDOR_NAME_FAULT_NO_THROW_MEMORY") != nullptr
            && (size >= 65536 || (dladdr(__builtin_return_address(0), &info) != 0 && info.dli_sname != nullptr
                                  && std::strcmp(info.dli_sname, "__cxa_allocate_exception") == 0)))) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}

// How libstdc++ writes an unbuffered stream. Only a file's write fails, not
// a standard stream's.
extern "C" ssize_t writev(int fd, const iovec* iov, int count)
{
    static const auto next = real<ssize_t(int, const iovec*, int)>("writev");
    static bool armed = std::getenv("VENDOR_NAME_FAULT_WRITE_EPIPE") != nullptr;
    if (fd <= STDERR_FILENO || !std::exchange(armed, false))
        return next(fd, iov, count);
    raise(SIGPIPE);
    errno = EPIPE;
    return -1;
}

extern "C" int fclose(FILE* stream)
{
    static const auto next = real<int(FILE*)>("fclose");
    const int status = next(stream);
    if (status != 0 || std::getenv("VENDOR_NAME_FAULT_CLOSE_EIO") == nullptr)
        return status;
    errno = EIO;
    return EOF;
}
