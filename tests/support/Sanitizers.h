#pragma once

// Whether this test binary runs under AddressSanitizer or ThreadSanitizer.
// Their shadow memory dwarfs what the code under test allocates, and their
// checks slow it five to fifteen times: peaks and absolute times mean
// something in plain builds only.

namespace tvl::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif

}  // namespace tvl::test
