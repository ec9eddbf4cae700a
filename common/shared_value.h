// shared_value: the type of every value that the user-interface thread and
// the port worker both touch (port handle, selected port, flash state, stop
// request, image pointers, shell handles).
//
// Shared<T> is a std::atomic<T> whose every access first passes one
// process-wide hook. In the programs the hook is null, so an access costs
// the atomic operation and one branch that is never taken. The flash model
// test sets the hook to switch threads right there, so it sees what happens
// between any two accesses, not only where a thread blocks.
#pragma once

#include <atomic>

// Called before every access to a Shared value, on the thread making it,
// with the value's address. Set only by tests, before a second thread
// starts; null in the programs.
inline void (*g_shared_access_hook)(const void* value) = nullptr;

inline void SharedAccessPoint(const void* value)
{
    if (g_shared_access_hook)
        g_shared_access_hook(value);
}

template <typename T>
struct Shared {
    std::atomic<T> value;

    constexpr Shared(T initial) : value(initial) {}
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    T load() const
    {
        SharedAccessPoint(this);
        return value.load();
    }
    void store(T v)
    {
        SharedAccessPoint(this);
        value.store(v);
    }
    void operator=(T v) { store(v); }
    T exchange(T v)
    {
        SharedAccessPoint(this);
        return value.exchange(v);
    }
    bool compare_exchange_strong(T& expected, T desired)
    {
        SharedAccessPoint(this);
        return value.compare_exchange_strong(expected, desired);
    }
};
