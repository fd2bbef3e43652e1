// SPDX-License-Identifier: Apache-2.0
// Copyright The vendor-name authors
// The benchmark's floors (bench/README.md). "bare walk", run from a tree's root, walks "vendor"
// with the tool's iterator, asking no entry's type and keeping no path. "bare rewrites N PATH
// TEXT" does N times what the tool does for each name it writes: open PATH with truncation
// (creating it), write TEXT, close. Exit status: 0 done; 1 failed (the walk says why); 2 bad usage.

#include <fcntl.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "walk") == 0) {
        std::error_code ec;
        std::filesystem::recursive_directory_iterator it("vendor", ec);
        for (const std::filesystem::recursive_directory_iterator end; !ec && it != end;)
            it.increment(ec);
        if (ec)
            std::fprintf(stderr, "bare walk: %s\n", ec.message().c_str());
        return ec ? 1 : 0;
    }
    if (argc != 5 || std::strcmp(argv[1], "rewrites") != 0)
        return 2;
    const size_t len = std::strlen(argv[4]);
    for (int i = 0, n = std::atoi(argv[2]); i < n; i++) {
        const int fd = open(argv[3], O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd < 0 || write(fd, argv[4], len) != static_cast<ssize_t>(len) || close(fd) != 0)
            return 1;
    }
    return 0;
}
