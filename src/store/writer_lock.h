// WriterLock: which thread of the process may change a store.
//
// Every change takes it; a transaction holds it from its start to its
// commit, so that no other thread commits between the transaction's reads
// and its writes. The thread holding it may take it again (the changes of a
// transaction, or a change made inside one), so depth counts.
//
// Thread-safety: all of it; depth is touched by the holder only.

#ifndef MARROW_STORE_WRITER_LOCK_H_
#define MARROW_STORE_WRITER_LOCK_H_

#include <atomic>
#include <mutex>
#include <thread>

namespace marrow::store {

class WriterLock {
 public:
  // Each returns the depth now held by this thread: 1 when it was free.
  int Lock() {
    if (Mine()) return ++depth_;
    mu_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return depth_ = 1;
  }
  // 0 when another thread holds it.
  int TryLock() {
    if (Mine()) return ++depth_;
    if (!mu_.try_lock()) return 0;
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    return depth_ = 1;
  }
  // The depth left: 0 when it is free again, -1 (nothing done) when this
  // thread does not hold it.
  int Unlock() {
    if (!Mine()) return -1;
    if (--depth_ > 0) return depth_;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mu_.unlock();
    return 0;
  }
  bool Mine() const {
    return owner_.load(std::memory_order_relaxed) ==
           std::this_thread::get_id();
  }

 private:
  std::mutex mu_;
  std::atomic<std::thread::id> owner_{};
  int depth_ = 0;
};

}  // namespace marrow::store

#endif  // MARROW_STORE_WRITER_LOCK_H_
