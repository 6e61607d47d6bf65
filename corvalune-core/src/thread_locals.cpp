#include "thread_locals.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>

#if defined(__GLIBC__)
#include <link.h>
#endif

namespace corvalune::core {
namespace {

// Touched to make this library's block; any of its thread-locals would do.
thread_local volatile char t_touch = 0;

#if defined(__GLIBC__)
// Every loaded library's thread-local size, at most kMax of them: reserving
// for a library whose block is static (made with the thread) costs one
// malloc and free.
constexpr int kMax = 16;
struct Sizes {
  std::size_t size[kMax];
  int count = 0;
};

int collect(dl_phdr_info* info, std::size_t, void* data) {
  auto* sizes = static_cast<Sizes*>(data);
  for (int i = 0; i < info->dlpi_phnum && sizes->count < kMax; ++i) {
    if (info->dlpi_phdr[i].p_type == PT_TLS && info->dlpi_phdr[i].p_memsz > 0)
      sizes->size[sizes->count++] = info->dlpi_phdr[i].p_memsz;
  }
  return 0;
}

// Whether glibc's malloc mapped `chunk` by itself. Such a chunk begins a
// page, and the memory handed out follows the chunk's two header words; its
// size word, just before the memory, has the IS_MMAPPED bit. Only a chunk
// at that offset is read, so the read stays in the chunk's own page
// whatever malloc this is (another one may rarely be taken for mapped: the
// thread then gives up and the watchdog tries again later).
// Not inlined: the compiler would see a read before a malloc'd object. Not
// instrumented: under a sanitizer's allocator that word is its own.
[[gnu::noinline]] __attribute__((no_sanitize_address, no_sanitize_thread)) bool mapped_alone(void* chunk) {
  constexpr std::uintptr_t kSmallestPage = 4096;
  const auto address = reinterpret_cast<std::uintptr_t>(chunk);
  if ((address & (kSmallestPage - 1)) != 2 * sizeof(std::size_t)) return false;
  const std::size_t size_word = *reinterpret_cast<const volatile std::size_t*>(address - sizeof(std::size_t));
  return (size_word & 0x2) != 0;
}
#endif

}  // namespace

bool reserve_thread_locals() noexcept {
#if defined(__GLIBC__)
  Sizes sizes;
  dl_iterate_phdr(collect, &sizes);
  void* chunks[kMax] = {};
  bool cached = true;
  for (int i = 0; i < sizes.count && cached; ++i) {
    chunks[i] = std::malloc(sizes.size[i]);
    cached = chunks[i] != nullptr && !mapped_alone(chunks[i]);
  }
  for (int i = sizes.count - 1; i >= 0; --i) std::free(chunks[i]);
  if (!cached) return false;
#endif
  t_touch = 1;                       // this library's block
  (void)std::uncaught_exceptions();  // the C++ runtime's
  return true;
}

}  // namespace corvalune::core
