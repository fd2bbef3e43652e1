/* SPDX-License-Identifier: Apache-2.0
 * Copyright The vendor-name authors
 * bare-rewrites N PATH TEXT: the benchmark's floor for the tool's rewrites. N
 * times, as vendor-name does for each name it writes, it opens PATH with
 * truncation (creating it if need be), writes TEXT and closes it. Exit status:
 * 0 when every rewrite succeeded; 1 when one failed; 2 on wrong arguments. */

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    const int n = atoi(argv[1]);
    const size_t len = strlen(argv[3]);
    for (int i = 0; i < n; i++) {
        const int fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd < 0 || write(fd, argv[3], len) != (ssize_t)len || close(fd) != 0)
            return 1;
    }
    return 0;
}
