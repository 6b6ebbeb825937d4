// Replaces the C heap's allocation functions and operator new for the whole process, passing every
// call on to the functions found next in the search order (the C library's, or a sanitizer's).
#include "cppallocations.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

using Malloc = void *(*)(std::size_t);
using Calloc = void *(*)(std::size_t, std::size_t);
using Realloc = void *(*)(void *, std::size_t);
using Free = void (*)(void *);
Malloc realMalloc = nullptr;
Calloc realCalloc = nullptr;
Realloc realRealloc = nullptr;
Free realFree = nullptr;

// dlsym allocates while the functions are looked up: those few blocks come from here, for good.
alignas(16) char bootstrap[8192];
std::size_t bootstrapUsed = 0;
bool resolving = false;

void *bootstrapBlock(std::size_t n)
{
    n = (n + 15) & ~std::size_t(15);
    if (n > sizeof bootstrap - bootstrapUsed)
        return nullptr;
    void *p = bootstrap + bootstrapUsed;
    bootstrapUsed += n;
    return p;
}

bool fromBootstrap(const void *p)
{
    return p >= static_cast<const void *>(bootstrap) &&
           p < static_cast<const void *>(bootstrap + sizeof bootstrap);
}

// True once the replaced functions are known; false while they are being looked up.
bool resolved()
{
    if (realMalloc)
        return true;
    if (resolving)
        return false;
    resolving = true;
    realCalloc = reinterpret_cast<Calloc>(dlsym(RTLD_NEXT, "calloc"));
    realRealloc = reinterpret_cast<Realloc>(dlsym(RTLD_NEXT, "realloc"));
    realFree = reinterpret_cast<Free>(dlsym(RTLD_NEXT, "free"));
    realMalloc = reinterpret_cast<Malloc>(dlsym(RTLD_NEXT, "malloc"));
    resolving = false;
    return true;
}

FailureCountdown countdown;
std::size_t largest = 0;
std::size_t ceiling = 0;
bool insideNew = false;

// Whether an allocation is Qt's or the library's: made through operator new, or called from Qt's or
// the library's code. The interpreter's own allocations are left to the interpreter's allocator
// hooks.
bool isQtOrLibrary(void *caller)
{
    if (insideNew)
        return true;
    Dl_info info{};
    return dladdr(caller, &info) && info.dli_fname &&
           (std::strstr(info.dli_fname, "libQt") || std::strstr(info.dli_fname, "Orn.Kestra.Pyqtwrapping"));
}

bool shouldFail(std::size_t size, void *caller)
{
    if (size > largest)
        largest = size;
    if (ceiling && size > ceiling)
        return true;
    return countdown.armed() && isQtOrLibrary(caller) && countdown.next();
}

} // namespace

void CppAllocations::arm(long k, bool persistent) { countdown.arm(k, persistent); }

bool CppAllocations::disarm() { return countdown.disarm(); }

void CppAllocations::setCeiling(std::size_t size) { ceiling = size; }

std::size_t CppAllocations::takeLargestRequest()
{
    const std::size_t size = largest;
    largest = 0;
    return size;
}

extern "C" {

void *malloc(std::size_t size) noexcept
{
    if (!resolved())
        return bootstrapBlock(size);
    return shouldFail(size, __builtin_return_address(0)) ? nullptr : realMalloc(size);
}

void *calloc(std::size_t n, std::size_t size) noexcept
{
    if (!resolved()) {
        void *p = n && size > sizeof bootstrap / n ? nullptr : bootstrapBlock(n * size);
        return p ? std::memset(p, 0, n * size) : nullptr;
    }
    return shouldFail(n * size, __builtin_return_address(0)) ? nullptr : realCalloc(n, size);
}

void *realloc(void *p, std::size_t size) noexcept
{
    if (fromBootstrap(p)) { // a bootstrap block is moved to the real heap
        void *moved = malloc(size);
        if (moved)
            std::memcpy(moved, p,
                        std::min<std::size_t>(size, bootstrap + sizeof bootstrap - static_cast<char *>(p)));
        return moved;
    }
    if (!resolved())
        return nullptr;
    return shouldFail(size, __builtin_return_address(0)) ? nullptr : realRealloc(p, size);
}

void free(void *p) noexcept
{
    if (p && !fromBootstrap(p) && resolved())
        realFree(p);
}

} // extern "C"

void *operator new(std::size_t size)
{
    insideNew = true;
    void *p = malloc(size ? size : 1);
    insideNew = false;
    if (!p)
        throw std::bad_alloc();
    return p;
}
void *operator new[](std::size_t size) { return operator new(size); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept { return malloc(size ? size : 1); }
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept { return malloc(size ? size : 1); }
void operator delete(void *p) noexcept { free(p); }
void operator delete[](void *p) noexcept { free(p); }
void operator delete(void *p, std::size_t) noexcept { free(p); }
void operator delete[](void *p, std::size_t) noexcept { free(p); }
