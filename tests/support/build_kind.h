// The kind of build a test runs in, for the few bounds that a sanitizer's
// runtime or an emulator moves: time and CPU bounds widen, resident-set
// figures stop meaning anything about the program.
#pragma once

namespace zq_test {

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZQ_TEST_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define ZQ_TEST_ADDRESS_SANITIZER 1
#endif

#ifdef ZQ_THREAD_SANITIZER
inline constexpr bool kThreadSanitizerBuild = true;
#else
inline constexpr bool kThreadSanitizerBuild = false;
#endif

#ifdef ZQ_TEST_ADDRESS_SANITIZER
inline constexpr bool kAddressSanitizerBuild = true;
#else
inline constexpr bool kAddressSanitizerBuild = false;
#endif

// Either sanitizer: the program runs several times slower, and its resident
// set holds the sanitizer's shadow memory.
inline constexpr bool kSanitizerBuild = kThreadSanitizerBuild || kAddressSanitizerBuild;

// A device build whose tests run under qemu: every instruction emulated.
#ifdef ZQ_TESTS_UNDER_EMULATOR
inline constexpr bool kUnderEmulator = true;
#else
inline constexpr bool kUnderEmulator = false;
#endif

}  // namespace zq_test
