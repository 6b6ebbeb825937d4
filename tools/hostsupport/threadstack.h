// Where the calling thread's stack ends, for the harnesses that check how much of it a conversion
// leaves to Python code.
#ifndef THREADSTACK_H
#define THREADSTACK_H

#include <cstdint>

#include <pthread.h>

namespace HostSupport {

// The lowest address the calling thread's stack may use (its stack grows down to it).
inline uintptr_t lowestStackAddress()
{
    pthread_attr_t attributes;
    void *low = nullptr;
    size_t size = 0;
    pthread_getattr_np(pthread_self(), &attributes);
    pthread_attr_getstack(&attributes, &low, &size);
    pthread_attr_destroy(&attributes);
    return reinterpret_cast<uintptr_t>(low);
}

} // namespace HostSupport

#endif // THREADSTACK_H
