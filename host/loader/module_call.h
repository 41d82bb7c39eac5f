// Every call from the host into the module goes through callModule, so that a
// test can make each one arrive with the stack a 32-bit Windows host may give:
// aligned to 4 bytes only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace qx {

// Whether this build can misalign its calls (32-bit x86 only).
bool canMisalignModuleCalls();
// From now on, every callModule enters the module with the stack pointer at
// 4 mod 16 instead of the 12 mod 16 the System V i386 ABI gives (its
// arguments 8 bytes past a 16-byte boundary). Throws Error on a build that
// cannot. Set it before the module is loaded.
void setMisalignedModuleCalls(bool on);
bool misalignedModuleCalls();

namespace detail {

#if defined(__i386__)
// Calls the cdecl `function` with `bytes` bytes of stacked arguments copied
// from `arguments`, on a stack at 4 mod 16 when it is entered. Returns what
// it left in EAX (low word) and EDX.
std::uint64_t callMisaligned(const void *function, const void *arguments, std::size_t bytes);

// On the i386 stack every argument takes a multiple of 4 bytes.
constexpr std::size_t stackSlot(std::size_t size) { return (size + 3) & ~std::size_t{3}; }

template <class P> void pushArgument(unsigned char *&cursor, P value) {
  static_assert(std::is_scalar_v<P>, "only scalar arguments cross into the module");
  std::memcpy(cursor, &value, sizeof value);
  cursor += stackSlot(sizeof value);
}
#endif

} // namespace detail

// Calls a function of the module: directly, or, once misaligned calls are on,
// through the trampoline.
template <class R, class... P, class... A> R callModule(R (*function)(P...), A... args) {
  static_assert(sizeof...(P) == sizeof...(A), "callModule takes every argument");
#if defined(__i386__)
  if (misalignedModuleCalls()) {
    alignas(4) unsigned char stacked[(std::size_t{4} + ... + detail::stackSlot(sizeof(P)))];
    unsigned char *cursor = stacked;
    (detail::pushArgument<P>(cursor, static_cast<P>(args)), ...);
    const std::uint64_t result =
        detail::callMisaligned(reinterpret_cast<const void *>(function), stacked,
                               static_cast<std::size_t>(cursor - stacked));
    if constexpr (std::is_void_v<R>) {
      static_cast<void>(result);
      return;
    } else {
      static_assert((std::is_integral_v<R> || std::is_pointer_v<R>)&&sizeof(R) <= 4,
                    "the trampoline returns what fits in EAX");
      const auto low = static_cast<std::uint32_t>(result);
      R value;
      std::memcpy(&value, &low, sizeof value);
      return value;
    }
  }
#endif
  return function(static_cast<P>(args)...);
}

} // namespace qx
