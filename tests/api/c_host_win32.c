/* The C host's system services on Windows: LoadLibrary, GetProcAddress, CreateProcess in a job
 * that ends with the host, Winsock. */
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <time.h>

#include "c_host_platform.h"

static PROCESS_INFORMATION child;
static HANDLE job;

void* host_load_library(const char* path, char* why, size_t size) {
    HMODULE library = LoadLibraryA(path);
    if (library == NULL) snprintf(why, size, "LoadLibrary error %lu", (unsigned long)GetLastError());
    return (void*)library;
}

void* host_find_export(void* library, const char* name) {
    FARPROC function = GetProcAddress((HMODULE)library, name);
    void* address = NULL;
    if (function != NULL) memcpy(&address, &function, sizeof address);
    return address;
}

void host_unload_library(void* library) { FreeLibrary((HMODULE)library); }

int host_start_child(const char* const* argv) {
    char command[1024] = "";
    size_t used = 0;
    STARTUPINFOA startup;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    int i;
    for (i = 0; argv[i] != NULL; ++i) {
        int n = snprintf(command + used, sizeof command - used, "%s\"%s\"", i == 0 ? "" : " ", argv[i]);
        if (n < 0 || (size_t)n >= sizeof command - used) return 0;
        used += (size_t)n;
    }
    if (job == NULL) {
        /* The simulator never outlives this host: closing the job's last handle ends it. */
        job = CreateJobObjectA(NULL, NULL);
        memset(&limits, 0, sizeof limits);
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (job != NULL) SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    memset(&child, 0, sizeof child);
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &child)) return 0;
    if (job != NULL) AssignProcessToJobObject(job, child.hProcess);
    return 1;
}

int host_child_running(void) {
    if (child.hProcess == NULL) return 0;
    if (WaitForSingleObject(child.hProcess, 0) == WAIT_OBJECT_0) {
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
        memset(&child, 0, sizeof child);
        return 0;
    }
    return 1;
}

void host_stop_child(void) {
    if (child.hProcess == NULL) return;
    TerminateProcess(child.hProcess, 1);
    WaitForSingleObject(child.hProcess, INFINITE);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    memset(&child, 0, sizeof child);
}

int host_can_connect(const char* address, unsigned port) {
    static int started;
    struct sockaddr_in to;
    SOCKET s;
    int ok;
    if (!started) {
        WSADATA data;
        started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons((unsigned short)port);
    inet_pton(AF_INET, address, &to.sin_addr);
    s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ok = s != INVALID_SOCKET && connect(s, (const struct sockaddr*)&to, sizeof to) == 0;
    if (s != INVALID_SOCKET) closesocket(s);
    return ok;
}

void host_pause_ms(long ms) { Sleep((DWORD)ms); }

unsigned host_seed(void) { return (unsigned)GetCurrentProcessId() * 2654435761u ^ (unsigned)time(NULL); }
