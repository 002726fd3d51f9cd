/* Preloaded into a Python process: makes the k-th pthread_create after arming fail
   with EAGAIN, as when the process runs out of threads. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>

static int countdown = 0;

void fail_nth_thread(int k) { countdown = k; }

int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                   void* arg) {
    static int (*real)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    if (!real) real = dlsym(RTLD_NEXT, "pthread_create");
    if (countdown > 0 && --countdown == 0) return EAGAIN;
    return real(thread, attr, start, arg);
}
