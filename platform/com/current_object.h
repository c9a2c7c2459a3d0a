// The one current object of its kind in the process (the virtual studio,
// the media provider): made on first use, replaced whole. A caller keeps
// the object it was handed for as long as it holds it; the one replaced
// ends when its last user lets go, never under the lock.
#pragma once

#include <memory>
#include <mutex>

namespace quellvox {

template <class T>
class CurrentObject {
 public:
  // The current object; `make` makes it when there is none yet.
  template <class Make>
  std::shared_ptr<T> Get(Make make) {
    std::lock_guard lock(mutex_);
    if (!current_) current_ = make();
    return current_;
  }

  void Replace(std::shared_ptr<T> next) {
    std::shared_ptr<T> old;
    {
      std::lock_guard lock(mutex_);
      old = std::move(current_);
      current_ = std::move(next);
    }
  }

 private:
  std::mutex mutex_;
  std::shared_ptr<T> current_;
};

}  // namespace quellvox
