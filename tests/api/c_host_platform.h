/*
 * What the C host needs from the operating system: loading the library and finding its exports,
 * starting and stopping the simulator as a child process, a test connection and a pause. One
 * implementation per platform (c_host_posix.c: dlopen, fork/exec; c_host_win32.c: LoadLibrary,
 * GetProcAddress, CreateProcess).
 */
#ifndef ZEL_C_HOST_PLATFORM_H
#define ZEL_C_HOST_PLATFORM_H

#include <stddef.h>

/* The library at `path`; NULL with the reason in `why` when it cannot be loaded. */
void* host_load_library(const char* path, char* why, size_t size);
/* The address of export `name`, NULL when the library has no such export. */
void* host_find_export(void* library, const char* name);
void host_unload_library(void* library);

/* Starts `argv[0]` with the NULL-terminated arguments `argv` as a child that ends with this
 * process. 1 when it was started. */
int host_start_child(const char* const* argv);
/* 1 while the child started last runs. */
int host_child_running(void);
/* Ends the child and waits for it. */
void host_stop_child(void);

/* 1 when something accepts a TCP connection at address:port. */
int host_can_connect(const char* address, unsigned port);
void host_pause_ms(long ms);
/* A number that differs between runs, for picking loopback addresses. */
unsigned host_seed(void);

#endif
