// The system's hand-off between threads: a FIFO with one lock and one
// condition variable. Producers append from any thread; the single consumer
// waits for the head, works on it outside the lock, then pops it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

template <typename T>
class SharedQueue {
 public:
  SharedQueue() = default;
  ~SharedQueue() = default;
  SharedQueue(const SharedQueue&) = delete;
  SharedQueue& operator=(const SharedQueue&) = delete;

  void push_back(T&& item) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      queue.push_back(std::move(item));
    }
    cond.notify_one();
  }

  void push_back(const T& item) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      queue.push_back(item);
    }
    cond.notify_one();
  }

  // Waits while empty, then destroys the head.
  void pop_front() {
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait(lock, [this] { return !queue.empty(); });
    queue.pop_front();
  }

  // Waits while empty, then gives the head. Only the consumer removes
  // elements, and appends never move existing ones, so the reference stays
  // valid until the consumer pops it.
  T& front() {
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait(lock, [this] { return !queue.empty(); });
    return queue.front();
  }

  // Appends; when more than `capacity` elements are then queued, the oldest
  // ones are dropped. Returns how many were dropped. A queue fed this way is
  // consumed with take_front only: a head given out by front() could be dropped.
  size_t push_back_bounded(T&& item, size_t capacity) {
    size_t dropped = 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      queue.push_back(std::move(item));
      for (; queue.size() > capacity && !queue.empty(); ++dropped) queue.pop_front();
    }
    cond.notify_one();
    return dropped;
  }

  // Waits until `ready(size)` holds; returns the size then.
  template <typename Ready>
  size_t wait(Ready ready) {
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait(lock, [&] { return ready(queue.size()); });
    return queue.size();
  }

  // Waits until `ready(size)` holds or `deadline` has passed; returns the size then.
  template <typename Clock, typename Duration, typename Ready>
  size_t wait_until(const std::chrono::time_point<Clock, Duration>& deadline, Ready ready) {
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait_until(lock, deadline, [&] { return ready(queue.size()); });
    return queue.size();
  }

  // Removes up to `count` elements from the head and gives them, oldest first.
  std::vector<T> take_front(size_t count) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<T> taken;
    taken.reserve(count < queue.size() ? count : queue.size());
    for (; count > 0 && !queue.empty(); --count) {
      taken.push_back(std::move(queue.front()));
      queue.pop_front();
    }
    return taken;
  }

  void clear() {
    std::lock_guard<std::mutex> lock(mutex);
    queue.clear();
  }

  size_t size() {
    std::lock_guard<std::mutex> lock(mutex);
    return queue.size();
  }

  bool empty() {
    std::lock_guard<std::mutex> lock(mutex);
    return queue.empty();
  }

 private:
  std::deque<T> queue;
  std::mutex mutex;
  std::condition_variable cond;
};
