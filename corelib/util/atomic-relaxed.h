// Relaxed atomic access to plain fields that other threads may read or write at the same
// time (statistics, trace records, page words): no ordering, never a torn value or
// undefined behaviour.
#pragma once

#include <atomic>

template <typename T>
T LoadRelaxed(const T& field)
{
    return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}

template <typename T>
void StoreRelaxed(T& field, T value)
{
    std::atomic_ref<T>(field).store(value, std::memory_order_relaxed);
}
