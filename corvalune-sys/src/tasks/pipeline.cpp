// The native pipeline: the transform on the calling thread with the
// interpreter released, or as a task on the pool behind a NativeTask.
// The payload is copied once, at the call; nothing Python-side is kept.
#include "tasks/pipeline.hpp"

#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "block_pool.hpp"
#include "handles/completion.hpp"
#include "handles/handles.hpp"
#include "interp/attach.hpp"
#include "interp/deferred.hpp"
#include "interp/detach.hpp"
#include "interp/guard.hpp"
#include "module/args.hpp"
#include "module/entry.hpp"
#include "tasks/spawn.hpp"
#include "watchdog.hpp"
#include "workloads/transform.hpp"

namespace corvalune::sys {
namespace {

constexpr std::uint64_t kDefaultRounds = 100;

// An owned copy of a payload: inline up to kInline bytes (the common small
// payload costs no allocation of its own), otherwise one pooled block.
class PayloadCopy {
 public:
  static constexpr std::size_t kInline = 64;

  PayloadCopy() = default;
  PayloadCopy(const PayloadCopy&) = delete;
  PayloadCopy& operator=(const PayloadCopy&) = delete;
  PayloadCopy(PayloadCopy&& other) noexcept : size_(std::exchange(other.size_, 0)), heap_(std::exchange(other.heap_, nullptr)) {
    if (heap_ == nullptr) std::memcpy(inline_, other.inline_, size_);
  }
  ~PayloadCopy() { reset(); }

  void assign(const std::uint8_t* data, std::size_t size) {
    reset();
    std::uint8_t* target = inline_;
    if (size > kInline) target = heap_ = static_cast<std::uint8_t*>(core::pool_allocate(size));
    if (size > 0) std::memcpy(target, data, size);
    size_ = size;
  }
  void reset() noexcept {
    if (heap_ != nullptr) core::pool_free(heap_, size_);
    heap_ = nullptr;
    size_ = 0;
  }
  const std::uint8_t* data() const noexcept { return heap_ != nullptr ? heap_ : inline_; }
  std::size_t size() const noexcept { return size_; }

 private:
  std::size_t size_ = 0;
  std::uint8_t* heap_ = nullptr;
  std::uint8_t inline_[kInline];
};

class NativePipelineJob final : public core::Pollable, public core::PoolAllocated {
 public:
  NativePipelineJob(PayloadCopy payload, std::uint64_t rounds, std::shared_ptr<NativeCompletion> record)
      : payload_(std::move(payload)), record_(std::move(record)), rounds_(rounds) {}

  core::Poll poll(core::Context&) override {
    detach_lingering();  // the transform needs no interpreter
    try {
      core::ComputeScope computing;
      record_->complete_bytes(core::pipeline_transform(payload_.data(), payload_.size(), rounds_));
    } catch (...) {
      if (auto message = task_failure_message("native task panicked during execution")) {
        record_->complete_failure(std::move(*message));
      } else {
        record_->complete_no_memory();
      }
    }
    // Attaches only when callbacks are registered.
    record_->run_callbacks();
    payload_.reset();
    record_.reset();
    return core::Poll::Ready;
  }

  void discard() override {
    record_->complete_failure(dropped_at_shutdown());
    record_->run_callbacks_for_dropped_work();
  }

 private:
  PayloadCopy payload_;
  std::shared_ptr<NativeCompletion> record_;
  std::uint64_t rounds_;
};

// Checks (payload, rounds): the payload must be bytes. False with an error
// set.
bool check_pipeline_args(PyObject* const* bound, std::uint64_t& rounds) {
  if (!PyBytes_Check(bound[0])) {
    raise_type_mismatch(bound[0], "bytes", "payload");
    return false;
  }
  auto converted = convert_rounds(bound[1]);
  if (!converted) return false;
  rounds = *converted;
  return true;
}

constexpr Param kPipelineParams[] = {{"payload", true}, {"rounds", false, false, "100"}};

struct NativePipelineTransform {
  static constexpr const char* name = "native_pipeline_transform";
  static constexpr const auto& params = kPipelineParams;
  static constexpr const char* doc =
      "A CPU-intensive native computation step (cryptographic mixing & hashing).\n"
      "Releases the GIL during execution to simulate a real-world native compute task.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    std::uint64_t rounds = kDefaultRounds;
    if (!check_pipeline_args(bound, rounds)) return nullptr;
    // A bytes object cannot change, and the caller's reference keeps it
    // alive for the call: it is read in place, detached.
    const auto* data = reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bound[0]));
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(bound[0]));
    core::PipelineResult out;
    {
      Detach released;
      core::ComputeScope computing;
      out = core::pipeline_transform(data, size, rounds);
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()), static_cast<Py_ssize_t>(out.size()));
  }
};

struct SpawnNativePipeline {
  static constexpr const char* name = "spawn_native_pipeline";
  static constexpr const auto& params = kPipelineParams;
  static constexpr const char* doc =
      "Spawn a native compute pipeline task directly onto Corvalune's work-stealing pool,\n"
      "returning an awaitable NativeTask.";

  static PyObject* call(PyObject*, PyObject* const* bound) {
    std::uint64_t rounds = kDefaultRounds;
    if (!check_pipeline_args(bound, rounds)) return nullptr;
    if (!ensure_pool_accepts_work()) return nullptr;
    PayloadCopy payload;
    payload.assign(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(bound[0])),
                   static_cast<std::size_t>(PyBytes_GET_SIZE(bound[0])));
    drop_pending_references();
    auto record = core::make_pooled_shared<NativeCompletion>();
    spawn_on_pool(std::make_unique<NativePipelineJob>(std::move(payload), rounds, record));
    return make_handle(HandleKind::Native, std::move(record));
  }
};

}  // namespace

std::optional<std::uint64_t> convert_rounds(PyObject* rounds) {
  if (rounds == nullptr) return kDefaultRounds;
  return convert_u64(rounds, "rounds");
}

PyMethodDef kNativePipelineTransformDef = entry_def<NativePipelineTransform>();
PyMethodDef kSpawnNativePipelineDef = entry_def<SpawnNativePipeline>();

}  // namespace corvalune::sys
