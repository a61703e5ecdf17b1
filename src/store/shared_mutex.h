// SharedMutex: a reader-writer lock with std::shared_mutex's interface (so
// std::unique_lock and std::shared_lock take it), a pthread_rwlock_t
// underneath on every C++ library. libstdc++'s std::shared_mutex is the same
// rwlock; libc++'s is built from a mutex and two condition variables, which
// costs each write more than the rest of its locking.

#ifndef MARROW_STORE_SHARED_MUTEX_H_
#define MARROW_STORE_SHARED_MUTEX_H_

#include <pthread.h>

#include <cerrno>
#include <system_error>

namespace marrow::store {

class SharedMutex {
 public:
  SharedMutex() = default;
  ~SharedMutex() { pthread_rwlock_destroy(&rw_); }
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() { Check(pthread_rwlock_wrlock(&rw_)); }
  bool try_lock() { return pthread_rwlock_trywrlock(&rw_) == 0; }
  void unlock() { pthread_rwlock_unlock(&rw_); }

  void lock_shared() {
    int r;
    // EAGAIN: the most readers the lock counts at once are in.
    while ((r = pthread_rwlock_rdlock(&rw_)) == EAGAIN) {
    }
    Check(r);
  }
  bool try_lock_shared() { return pthread_rwlock_tryrdlock(&rw_) == 0; }
  void unlock_shared() { pthread_rwlock_unlock(&rw_); }

 private:
  static void Check(int r) {
    if (r != 0) throw std::system_error(r, std::generic_category());
  }

  pthread_rwlock_t rw_ = PTHREAD_RWLOCK_INITIALIZER;
};

}  // namespace marrow::store

#endif  // MARROW_STORE_SHARED_MUTEX_H_
