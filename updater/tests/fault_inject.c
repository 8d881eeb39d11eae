/* Preloaded into the updater to make things go wrong for real, as QN_FAULT
   says: "trap-listing" turns the directory listing into an illegal
   instruction (a processor fault while the signals are guarded);
   "kill-at-flush" kills the process when it flushes its writes, as a power
   cut or the OOM killer would; "kill-at-rename" kills it at its second
   rename of a temporary into the tree, after its commit; "swap-at-link" renames
   the file QN_SWAP_WITH names over the source of its first hard link, as a
   user who owns that folder could; "stop-after-fork" stops the detached
   child at its start, so that a tracer can attach to it alone, and lets
   nothing it starts stop again. With QN_NO_SYNC set, sync() flushes
   nothing. */
#define _GNU_SOURCE
#include <dirent.h>
#include <stdio.h>
#include <dlfcn.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static int fault_is(const char *name)
{
    const char *fault = getenv("QN_FAULT");
    return fault && strcmp(fault, name) == 0;
}

DIR *fdopendir(int fd)
{
    if (fault_is("trap-listing"))
        __builtin_trap();
    DIR *(*real)(int) = (DIR * (*)(int)) dlsym(RTLD_NEXT, "fdopendir");
    return real(fd);
}

static void kill_at_flush(void)
{
    if (fault_is("kill-at-flush"))
        kill(getpid(), SIGKILL);
}

void sync(void)
{
    kill_at_flush();
    if (getenv("QN_NO_SYNC"))
        return;
    void (*real)(void) = (void (*)(void))dlsym(RTLD_NEXT, "sync");
    real();
}

int syncfs(int fd)
{
    kill_at_flush();
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "syncfs");
    return real(fd);
}

int renameat(int from_dir, const char *from, int to_dir, const char *to)
{
    static int calls;
    if (fault_is("kill-at-rename") && strncmp(from, ".updater-", 9) == 0 && ++calls == 2)
        kill(getpid(), SIGKILL);
    int (*real)(int, const char *, int, const char *) =
        (int (*)(int, const char *, int, const char *))dlsym(RTLD_NEXT, "renameat");
    return real(from_dir, from, to_dir, to);
}

/* The source's path: the descriptor's own, or the folder's plus the name. */
static void path_of(int dir, const char *name, char *path, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dir);
    ssize_t n = readlink(link, path, size - 1);
    path[n > 0 ? n : 0] = '\0';
    if (*name) {
        strncat(path, "/", size - strlen(path) - 1);
        strncat(path, name, size - strlen(path) - 1);
    }
}

int linkat(int from_dir, const char *from, int to_dir, const char *to, int flags)
{
    static int calls;
    const char *swap = getenv("QN_SWAP_WITH");
    if (fault_is("swap-at-link") && swap && ++calls == 1) {
        char path[4096];
        path_of(from_dir, from, path, sizeof path);
        rename(swap, path);
    }
    int (*real)(int, const char *, int, const char *, int) =
        (int (*)(int, const char *, int, const char *, int))dlsym(RTLD_NEXT, "linkat");
    return real(from_dir, from, to_dir, to, flags);
}

pid_t fork(void)
{
    pid_t (*real)(void) = (pid_t(*)(void))dlsym(RTLD_NEXT, "fork");
    pid_t pid = real();
    if (pid == 0 && fault_is("stop-after-fork")) {
        unsetenv("QN_FAULT");
        raise(SIGSTOP);
    }
    return pid;
}
