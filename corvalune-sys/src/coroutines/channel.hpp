#pragma once
// How run_level1 receives its root coroutine's outcome: a channel of
// (value, exception) pairs with one receiver and counted senders.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>

#include "block_pool.hpp"
#include "interp/attach.hpp"
#include "interp/deferred.hpp"
#include "interp/pyref.hpp"
#include "sync/parker.hpp"

namespace corvalune::sys {

// Unbounded. Shared by the receiver and the senders; its Python references are
// DeferredRefs, so whichever owner goes last may drop it on any thread.
struct Channel {
  std::mutex lock;
  std::condition_variable ready;
  // From the block pool, as the channel itself: one channel per run_level1
  // call, freed by whichever thread drops it last.
  std::deque<std::pair<DeferredRef, DeferredRef>, core::PoolAllocator<std::pair<DeferredRef, DeferredRef>>>
      pairs;        // guarded by lock
  int senders = 0;  // guarded by lock
  // Set with the first pair (release; pairs with the acquire in the
  // receiver's spin): lets a receiver that expects a quick answer poll
  // before it sleeps on the condition variable.
  std::atomic<bool> sent{false};
  // A pair that could not be queued for want of memory: the receiver that
  // finds no pair and no sender raises MemoryError. Guarded by lock.
  bool lost_to_memory = false;
  // A receiver that sleeps as a waiting helper (help_wait.hpp) is woken
  // through its parker after each send and disconnection. Set before any
  // sender exists, never changed after: read without the lock.
  std::optional<core::Unparker> waiter;

  // A pair has arrived or every sender is gone.
  bool settled() {
    std::lock_guard guard(lock);
    return !pairs.empty() || senders == 0;
  }
  void notify() {
    ready.notify_all();
    if (waiter) waiter->unpark();
  }
};

// The sending end of a Channel. Sending and disconnecting are native: no
// Python call is made, so neither can fail or be deferred on a thread whose
// stack is nearly exhausted (a Python-level sender could raise
// RecursionError there, and the interpreter defers deallocations on deep
// stacks, so the receiver would never learn that the pair was lost).
class ChannelSender : public core::PoolAllocated {
 public:
  explicit ChannelSender(std::shared_ptr<Channel> channel) : channel_(std::move(channel)) {
    std::lock_guard lock(channel_->lock);
    ++channel_->senders;
  }
  ChannelSender(const ChannelSender&) = delete;
  ChannelSender& operator=(const ChannelSender&) = delete;
  ~ChannelSender() {
    {
      std::lock_guard lock(channel_->lock);
      --channel_->senders;
    }
    channel_->notify();
  }
  void send(Ref value, Ref exception) {
    std::pair<DeferredRef, DeferredRef> pair(DeferredRef(std::move(value)), DeferredRef(std::move(exception)));
    {
      std::lock_guard lock(channel_->lock);
      try {
        channel_->pairs.push_back(std::move(pair));
      } catch (const std::bad_alloc&) {
        channel_->lost_to_memory = true;  // `pair` is dropped after the lock
      }
    }
    channel_->sent.store(true, std::memory_order_release);
    channel_->notify();
  }

 private:
  std::shared_ptr<Channel> channel_;
};

}  // namespace corvalune::sys
