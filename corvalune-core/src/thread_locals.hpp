#pragma once
// Thread-locals in a thread started while memory has run out.
//
// glibc gives a thread the thread-local block of a library loaded with
// dlopen (this one when it is a Python extension, and the C++ runtime it
// needs) only when the thread first touches it, with malloc, and ends the
// whole process when that malloc fails ("cannot allocate memory for
// thread-local data"). A pool thread touches them at once, so an extra
// worker started after memory ran out (a 10,000,000-item batch under an
// address-space limit, its workers waiting for the interpreter lock) could
// end the process instead of failing to start.
//
// Such a thread calls reserve_thread_locals() before it touches any: it
// takes from malloc a chunk of each loaded library's thread-local size and
// gives them back, then touches the blocks. A chunk given back stays in the
// thread's own malloc cache (glibc's tcache, which no other thread takes
// from), where the block's allocation finds it. A chunk malloc had to map
// by itself means the thread got no arena, for want of address space: such
// a chunk is unmapped when given back, and the block's allocation would
// race every other thread for the space, so the thread gives up. When
// malloc fails or gives up the thread ends before it touches a
// thread-local, as if it had not been started.
//
// Rejected: initial-exec thread-locals (no lazy allocation, but an import
// then fails outright when other libraries have used glibc's small static
// reserve).
namespace corvalune::core {

// True when this thread's thread-locals are in place; false, with none
// touched, when memory ran out. Call before touching any thread-local.
bool reserve_thread_locals() noexcept;

}  // namespace corvalune::core
