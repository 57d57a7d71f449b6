/* The C host's system services on POSIX systems: dlopen, fork/exec, BSD sockets. */
#define _POSIX_C_SOURCE 200809L

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "c_host_platform.h"

static pid_t child = -1;

void* host_load_library(const char* path, char* why, size_t size) {
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) snprintf(why, size, "%s", dlerror());
    return library;
}

void* host_find_export(void* library, const char* name) { return dlsym(library, name); }

void host_unload_library(void* library) { dlclose(library); }

int host_start_child(const char* const* argv) {
    child = fork();
    if (child < 0) return 0;
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM); /* never outlive this host */
        execv(argv[0], (char* const*)argv);
        _exit(127);
    }
    return 1;
}

int host_child_running(void) {
    if (child <= 0) return 0;
    if (waitpid(child, NULL, WNOHANG) == child) {
        child = -1;
        return 0;
    }
    return 1;
}

void host_stop_child(void) {
    if (child <= 0) return;
    kill(child, SIGTERM);
    waitpid(child, NULL, 0);
    child = -1;
}

int host_can_connect(const char* address, unsigned port) {
    struct sockaddr_in to;
    int s, ok;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons((unsigned short)port);
    inet_pton(AF_INET, address, &to.sin_addr);
    s = socket(AF_INET, SOCK_STREAM, 0);
    ok = s >= 0 && connect(s, (const struct sockaddr*)&to, sizeof to) == 0;
    if (s >= 0) close(s);
    return ok;
}

void host_pause_ms(long ms) {
    struct timespec t;
    t.tv_sec = ms / 1000;
    t.tv_nsec = (ms % 1000) * 1000000L;
    nanosleep(&t, NULL);
}

unsigned host_seed(void) { return (unsigned)getpid() * 2654435761u ^ (unsigned)time(NULL); }
