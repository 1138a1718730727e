// Access to an Engine through its borrow flag: shared for queries,
// exclusive for everything that changes it. A refused access sets
// RuntimeError ("Already borrowed" / "Already mutably borrowed") and leaves
// the guard false; a granted one is given back when the guard goes.
#pragma once

#include "python/engine_type.hpp"
#include "python/errors.hpp"

namespace vorn::python {

enum class Access { shared, exclusive };

// Takes shared or exclusive access through the object's borrow flag and gives
// it back on destruction. When the access is refused, RuntimeError is set and
// the guard is false.
class BorrowGuard {
 public:
  BorrowGuard(EngineObject* obj, Access access) : flag_(obj->borrow), access_(access) {
    if (access == Access::exclusive) {
      int64_t expected = 0;
      if (!flag_.compare_exchange_strong(expected, -1)) {
        raise_access_refused(true);
        return;
      }
    } else {
      int64_t current = flag_.load();
      do {
        if (current == -1) {
          raise_access_refused(false);
          return;
        }
      } while (!flag_.compare_exchange_weak(current, current + 1));
    }
    held_ = true;
  }
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  ~BorrowGuard() {
    if (!held_) {
      return;
    }
    if (access_ == Access::exclusive) {
      flag_.store(0);
    } else {
      flag_.fetch_sub(1);
    }
  }
  explicit operator bool() const { return held_; }

 private:
  std::atomic<int64_t>& flag_;
  Access access_;
  bool held_ = false;
};

}  // namespace vorn::python
