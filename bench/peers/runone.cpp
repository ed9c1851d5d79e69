// SPDX-License-Identifier: MIT
// Runs one command and reports its wall time, CPU time and peak RSS.
//
//   runone OUT ERR CWD PROGRAM [ARG...]
//
// Standard output goes to OUT, standard error to ERR, standard input is
// /dev/null and the command runs in CWD. Prints one line on standard output:
// "wall_s user_s sys_s maxrss_kib exit_code read_bytes read_calls disk_read_bytes"
// (the last three from /proc/PID/io, read while the exited child is still a
// zombie; -1 where that is not available).
//
// A process's peak RSS includes the memory image it had before exec; a
// Python harness that forks would add its own tens of MiB to every tool, so
// this small program does the fork.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: runone OUT ERR CWD PROGRAM [ARG...]\n");
        return 2;
    }
    timespec t0{}, t1{};
    clock_gettime(CLOCK_MONOTONIC, &t0);
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        return 2;
    }
    if (pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || chdir(argv[3]) != 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        close(in);
        close(out);
        close(err);
        execvp(argv[4], argv + 4);
        _exit(127);
    }
    // Wait for the exit without reaping, so that /proc/PID/io still holds
    // the totals of the whole process (its threads included).
    siginfo_t info{};
    long long rchar = -1, syscr = -1, read_bytes = -1;
    if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) == 0) {
        char name[64];
        snprintf(name, sizeof name, "/proc/%d/io", static_cast<int>(pid));
        if (FILE *io = fopen(name, "r")) {
            char key[64];
            long long v;
            while (fscanf(io, "%63[^:]: %lld\n", key, &v) == 2) {
                if (strcmp(key, "rchar") == 0) rchar = v;
                else if (strcmp(key, "syscr") == 0) syscr = v;
                else if (strcmp(key, "read_bytes") == 0) read_bytes = v;
            }
            fclose(io);
        }
    }
    int status = 0;
    rusage ru{};
    if (wait4(pid, &status, 0, &ru) < 0) {
        perror("wait4");
        return 2;
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double wall = static_cast<double>(t1.tv_sec - t0.tv_sec) + static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e9;
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    printf("%.6f %ld.%06ld %ld.%06ld %ld %d %lld %lld %lld\n", wall, static_cast<long>(ru.ru_utime.tv_sec),
           static_cast<long>(ru.ru_utime.tv_usec), static_cast<long>(ru.ru_stime.tv_sec),
           static_cast<long>(ru.ru_stime.tv_usec), ru.ru_maxrss, code, rchar, syscr, read_bytes);
    return 0;
}
