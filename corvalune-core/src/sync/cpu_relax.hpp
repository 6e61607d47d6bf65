#pragma once
// The one spin-wait hint of the runtime.

namespace corvalune::core {

// Tells the core that this thread is spinning: a sibling hyper-thread gets
// the pipeline, and leaving the spin does not pay for a memory-order
// mis-speculation. The memory clobber keeps the compiler from hoisting the
// loads of a spin loop out of it on every architecture, not only on those
// with a hint instruction.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
  asm volatile("" ::: "memory");
#elif defined(__aarch64__) || defined(__arm__)
  asm volatile("yield" ::: "memory");
#else
  asm volatile("" ::: "memory");
#endif
}

}  // namespace corvalune::core
