#include "platform/Threads.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

void lowerThisThreadsPriority() {
    // On Linux a nice value belongs to a thread; a failure leaves it as it was.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 10);
}

void nameThisThread(const char* name) { pthread_setname_np(pthread_self(), name); }
