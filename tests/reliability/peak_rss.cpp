// peak_rss FILE PROGRAM [ARG...]: runs PROGRAM and writes its peak resident
// memory in KB, as the kernel counts it for that process, to FILE; exits
// with PROGRAM's status (128 + the signal when one ended it).
//
// The tests start programs with posix_spawn, that is with vfork, and a
// process started so keeps its parent's peak as its own across exec: the
// test's size would hide the program's. Started with fork from this small
// process instead, the program's count starts from next to nothing.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: peak_rss FILE PROGRAM [ARG...]\n");
    return 125;
  }
  pid_t pid = fork();
  if (pid < 0) return 126;
  if (pid == 0) {
    execv(argv[2], argv + 2);
    _exit(127);
  }
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) return 126;
  }
  std::FILE* out = std::fopen(argv[1], "w");
  if (out == nullptr) return 126;
  std::fprintf(out, "%ld\n", usage.ru_maxrss);
  std::fclose(out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
