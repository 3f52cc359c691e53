// Platform, compiler and architecture of the build as 0/1 macros. Shared code tests
// these with #if (the build uses -Wundef, so a misspelt name is an error); larger
// differences live in whole -posix / -win files instead.
#pragma once

#if defined(_WIN32)
#define OX_PLATFORM_WINDOWS 1
#define OX_PLATFORM_POSIX 0
#elif defined(__unix__) || defined(__APPLE__)
#define OX_PLATFORM_WINDOWS 0
#define OX_PLATFORM_POSIX 1
#else
#error "Unknown target platform"
#endif

#if defined(__linux__)
#define OX_PLATFORM_LINUX 1
#else
#define OX_PLATFORM_LINUX 0
#endif

#if defined(__x86_64__) || defined(_M_X64)
#define OX_ARCH_X64 1
#else
#define OX_ARCH_X64 0
#endif

#if defined(__aarch64__) || defined(_M_ARM64)
#define OX_ARCH_ARM64 1
#else
#define OX_ARCH_ARM64 0
#endif

#if !OX_ARCH_X64 && !OX_ARCH_ARM64
#error "Unknown target architecture"
#endif

#if defined(__clang__)
#define OX_COMPILER_CLANG 1
#define OX_COMPILER_GCC 0
#elif defined(__GNUC__)
#define OX_COMPILER_CLANG 0
#define OX_COMPILER_GCC 1
#else
#error "Unsupported compiler"
#endif

// Sanitizer builds: fibers and other tricks need annotations there.
#if defined(__SANITIZE_ADDRESS__)
#define OX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OX_ASAN 1
#endif
#endif
#ifndef OX_ASAN
#define OX_ASAN 0
#endif

#if defined(__SANITIZE_THREAD__)
#define OX_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define OX_TSAN 1
#endif
#endif
#ifndef OX_TSAN
#define OX_TSAN 0
#endif

// For the few deliberate unsynchronised reads of diagnostics (snapshots of another
// thread's state); ThreadSanitizer does not instrument such a function.
#define OX_NO_SANITIZE_THREAD __attribute__((no_sanitize("thread")))
#define OX_NOINLINE __attribute__((noinline))
#define OX_COLD __attribute__((cold, noinline))
#define OX_FORCEINLINE inline __attribute__((always_inline))
#define OX_LIKELY(x) __builtin_expect(!!(x), 1)
#define OX_UNLIKELY(x) __builtin_expect(!!(x), 0)
// printf-style checking; gnu_printf so that mingw checks the C99 forms we use.
#if OX_COMPILER_GCC
#define OX_PRINTF_FORMAT(fmtIndex, firstArg) __attribute__((format(gnu_printf, fmtIndex, firstArg)))
#else
#define OX_PRINTF_FORMAT(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#endif
