/* measure: runs one command and prints its wall time and peak memory.
 *
 *   measure [-i IN] [-o OUT] [-e ERR] -- COMMAND [ARGS...]
 *
 * The command's standard input, output and error go to IN, OUT and ERR
 * (default /dev/null for all three). When it ends, one line goes to
 * standard output:
 *
 *   <wall seconds> <peak resident set KiB> <exit status> <user s> <system s>
 *
 * Wall time is CLOCK_MONOTONIC from just before fork to the return of
 * wait4; peak resident set and CPU times are the child's, from wait4. The exit
 * status is 128+N for a command killed by signal N; measure's own status is
 * 0 unless it could not run the command at all (127).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int open_or_die(const char *path, int flags) {
  int fd = open(path, flags, 0644);
  if (fd < 0) {
    fprintf(stderr, "measure: %s: %s\n", path, strerror(errno));
    exit(127);
  }
  return fd;
}

int main(int argc, char **argv) {
  const char *in = "/dev/null", *out = "/dev/null", *err = "/dev/null";
  int i = 1;
  for (; i < argc; ++i) {
    if (strcmp(argv[i], "--") == 0) { ++i; break; }
    if (i + 1 >= argc) break;
    if (strcmp(argv[i], "-i") == 0) in = argv[++i];
    else if (strcmp(argv[i], "-o") == 0) out = argv[++i];
    else if (strcmp(argv[i], "-e") == 0) err = argv[++i];
    else break;
  }
  if (i >= argc) {
    fprintf(stderr, "usage: measure [-i IN] [-o OUT] [-e ERR] -- COMMAND [ARGS...]\n");
    return 127;
  }
  int fin = open_or_die(in, O_RDONLY);
  int fout = open_or_die(out, O_WRONLY | O_CREAT | O_TRUNC);
  int ferr = open_or_die(err, O_WRONLY | O_CREAT | O_TRUNC);

  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  pid_t pid = fork();
  if (pid < 0) {
    perror("measure: fork");
    return 127;
  }
  if (pid == 0) {
    dup2(fin, 0);
    dup2(fout, 1);
    dup2(ferr, 2);
    close(fin); close(fout); close(ferr);
    execvp(argv[i], argv + i);
    dprintf(2, "measure: %s: %s\n", argv[i], strerror(errno));
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  memset(&usage, 0, sizeof usage);
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      perror("measure: wait4");
      return 127;
    }
  }
  clock_gettime(CLOCK_MONOTONIC, &t1);
  double seconds = (double)(t1.tv_sec - t0.tv_sec) + (double)(t1.tv_nsec - t0.tv_nsec) / 1e9;
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  printf("%.6f %ld %d %.6f %.6f\n", seconds, usage.ru_maxrss, code,
         (double)usage.ru_utime.tv_sec + (double)usage.ru_utime.tv_usec / 1e6,
         (double)usage.ru_stime.tv_sec + (double)usage.ru_stime.tv_usec / 1e6);
  return 0;
}
