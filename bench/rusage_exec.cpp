// Runs one command and reports its resource usage.
//
//   rusage_exec REPORT_FD TIMEOUT_SECONDS COMMAND [ARG...]
//
// Writes "pid N" to REPORT_FD once the command is started and, when it has
// ended, "status=S user_us=U sys_us=S maxrss_kib=M minflt=F" (from wait4). A command
// still running after the timeout is killed.
//
// Why a launcher at all: a child's peak RSS (ru_maxrss) starts from the
// high-water mark of the process it was forked from, so a command forked
// straight from a large driver (a Python interpreter holding the recorded
// stream) would report the driver's memory, and its CPU time would include
// tearing down the driver's copied address space at exec. This launcher is
// linked statically and stays tiny, so neither leaks into the figures.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

pid_t g_child = 0;

void onAlarm(int) {
  if (g_child > 0) kill(g_child, SIGKILL);
}

void report(int fd, const char* text, int length) {
  if (length > 0) {
    const ssize_t ignored = write(fd, text, static_cast<size_t>(length));
    static_cast<void>(ignored);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    static const char usage[] = "usage: rusage_exec REPORT_FD TIMEOUT_SECONDS COMMAND [ARG...]\n";
    report(2, usage, sizeof usage - 1);
    return 2;
  }
  const int fd = std::atoi(argv[1]);
  const unsigned timeout = static_cast<unsigned>(std::atoi(argv[2]));
  g_child = fork();
  if (g_child < 0) return 2;
  if (g_child == 0) {
    close(fd);
    execvp(argv[3], argv + 3);
    _exit(127);
  }
  char text[160];
  report(fd, text, std::snprintf(text, sizeof text, "pid %d\n", static_cast<int>(g_child)));
  signal(SIGALRM, onAlarm);
  alarm(timeout);
  int status = 0;
  rusage usage{};
  while (wait4(g_child, &status, 0, &usage) < 0) {
    if (errno != EINTR) return 2;
  }
  const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  report(fd, text,
         std::snprintf(
             text, sizeof text, "status=%d user_us=%lld sys_us=%lld maxrss_kib=%ld minflt=%ld\n",
             code, static_cast<long long>(usage.ru_utime.tv_sec) * 1000000 + usage.ru_utime.tv_usec,
             static_cast<long long>(usage.ru_stime.tv_sec) * 1000000 + usage.ru_stime.tv_usec,
             usage.ru_maxrss, usage.ru_minflt));
  return 0;
}
