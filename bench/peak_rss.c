/* peak-rss PROGRAM [ARG...]: runs PROGRAM and prints its peak resident memory
 * in KiB. The peak that the kernel reports counts the memory of the process
 * before it ran PROGRAM, so a child forked from Python would count Python's;
 * forked from this small program it counts next to nothing.
 *
 * Exit status: 0 when PROGRAM exited with 0; 1 when it did not; 2 on wrong
 * arguments. */

#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return 1;
    printf("%ld\n", usage.ru_maxrss);
    return 0;
}
