#include "daemon.h"

#include <csignal>
#include <cstdlib>

#include <sys/reboot.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const int kGuardedSignals[] = {SIGCHLD, SIGHUP,  SIGABRT, SIGFPE,  SIGILL,
                               SIGINT,  SIGSEGV, SIGTERM, SIGUSR1, SIGUSR2};

// The services are already stopped when a fault can happen, and returning
// from the handler would fault again forever. Flush what is written and
// restart the board; if the kernel refuses, ask the shell for the reboot.
[[noreturn]] void reboot_after_fault()
{
    sync();
    reboot(RB_AUTOBOOT);
    execl("/bin/sh", "sh", "-c", "reboot", static_cast<char *>(nullptr));
    _exit(1);
}

bool is_fault_signal(int sig) { return sig == SIGSEGV || sig == SIGFPE || sig == SIGILL; }

// A fault signal raised by the processor (positive si_code) reboots; the
// same signal sent by another process is ignored like the others.
void guard_against_fault(int sig, siginfo_t *info, void *)
{
    if (info && info->si_code > 0)
        reboot_after_fault();
    signalHandlerStrong(sig);
}

void install_strong(int sig)
{
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (is_fault_signal(sig)) {
        action.sa_flags |= SA_SIGINFO;
        action.sa_sigaction = guard_against_fault;
    } else {
        action.sa_handler = signalHandlerStrong;
    }
    sigaction(sig, &action, nullptr);
}

void close_descriptors_from_one()
{
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 1U, ~0U, 0U) == 0)
        return;
#endif
    for (long fd = sysconf(_SC_OPEN_MAX); fd >= 1; --fd)
        close(static_cast<int>(fd));
}

}  // namespace

void signalHandlerStrong(int) {}

// exit() is not safe in a handler: a signal that lands inside malloc or
// stdio would deadlock a run that must still reboot the board. Nothing is
// buffered that needs flushing: the program writes only through descriptors.
void signalHandlerDefault(int) { _exit(0); }

void guard_signals()
{
    for (int sig : kGuardedSignals)
        install_strong(sig);
    // Under a file size limit the write fails (EFBIG) and the update is
    // rolled back; the default action would end the run before the reboot.
    signal(SIGXFSZ, SIG_IGN);
}

void unguard_signals()
{
    for (int sig : kGuardedSignals)
        signal(sig, signalHandlerDefault);
}

void StartDaemon()
{
    pid_t pid = fork();
    if (pid < 0)
        exit(1);
    if (pid > 0)
        exit(0);
    if (setsid() < 0)
        exit(1);
    close_descriptors_from_one();
}

void run(const char *command)
{
    int status = system(command);
    static_cast<void>(status);
}
