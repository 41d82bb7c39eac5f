// The misaligning trampoline for calls into the module, on 32-bit x86.
#include "loader/module_call.h"

#include <atomic>

#include "base/error.h"

namespace qx {
namespace {

std::atomic<bool> misaligned{false};

} // namespace

bool canMisalignModuleCalls() {
#if defined(__i386__)
  return true;
#else
  return false;
#endif
}

void setMisalignedModuleCalls(bool on) {
  if (on && !canMisalignModuleCalls()) {
    throw Error("--misalign-stack: only the 32-bit x86 build can misalign its calls");
  }
  misaligned.store(on, std::memory_order_relaxed);
}

bool misalignedModuleCalls() { return misaligned.load(std::memory_order_relaxed); }

} // namespace qx

#if defined(__i386__)
// qx_call_misaligned(function, arguments, bytes): the new stack is found below
// the caller's with room for the arguments, rounded down to 16 and moved up
// by 8, so that the arguments sit at 8 mod 16 and the call's return address
// leaves the callee's stack pointer at 4 mod 16. The frame pointer restores
// the caller's stack whatever the callee pops. EAX and EDX come back as they
// were left.
asm(R"(
  .text
  .globl qx_call_misaligned
  .p2align 4
qx_call_misaligned:
  pushl %ebp
  movl %esp, %ebp
  pushl %esi
  pushl %edi
  movl 8(%ebp), %eax
  movl 12(%ebp), %esi
  movl 16(%ebp), %ecx
  movl %esp, %edx
  subl %ecx, %edx
  subl $16, %edx
  andl $-16, %edx
  addl $8, %edx
  movl %edx, %esp
  movl %edx, %edi
  cld
  rep movsb
  call *%eax
  leal -8(%ebp), %esp
  popl %edi
  popl %esi
  popl %ebp
  ret
)");

extern "C" std::uint64_t qxCallMisaligned(const void *function, const void *arguments,
                                          std::size_t bytes) asm("qx_call_misaligned");

namespace qx::detail {

std::uint64_t callMisaligned(const void *function, const void *arguments, std::size_t bytes) {
  return qxCallMisaligned(function, arguments, bytes);
}

} // namespace qx::detail
#endif
