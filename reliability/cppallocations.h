// The C heap and C++'s operator new, failing on demand: the executable that links this replaces
// malloc, calloc, realloc and operator new for the whole process, Qt and the interpreter included,
// and passes every call on to the allocator it replaced. Qt's containers allocate with malloc and
// realloc and throw std::bad_alloc when those fail; the library allocates its tables with new[].
#ifndef CPPALLOCATIONS_H
#define CPPALLOCATIONS_H

#include <cstddef>

// When to fail: armed with k, it lets k allocations through and fails the next one, or, persistent,
// every one from then on. Shared by the heap here and the interpreter's allocator hooks.
class FailureCountdown
{
public:
    void arm(long k, bool persistent)
    {
        m_countdown = k;
        m_persistent = persistent;
        m_failed = false;
    }
    // Disarms; whether an allocation failed since arm().
    bool disarm()
    {
        m_countdown = -1;
        return m_failed;
    }
    bool armed() const { return m_countdown >= 0; }
    // Whether the allocation now asked for fails.
    bool next()
    {
        if (m_countdown < 0)
            return false;
        if (m_countdown > 0) {
            --m_countdown;
            return false;
        }
        m_failed = true;
        if (!m_persistent)
            m_countdown = -1;
        return true;
    }

private:
    long m_countdown = -1;
    bool m_persistent = false;
    bool m_failed = false;
};

namespace CppAllocations {

// Lets k of Qt's and the library's allocations through (the interpreter's are not counted), then
// fails the next one, or, persistent, every one from then on.
void arm(long k, bool persistent = false);
// Disarms; whether an allocation failed since arm().
bool disarm();
// Fails every request larger than size bytes (0: none), as a machine that has no more memory does.
void setCeiling(std::size_t size);
// The largest size asked for since the last call.
std::size_t takeLargestRequest();

} // namespace CppAllocations

#endif // CPPALLOCATIONS_H
