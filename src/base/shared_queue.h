// The system's hand-off between threads: a FIFO with one lock and one
// condition variable. Producers append from any thread; the single consumer
// waits for the head, works on it outside the lock, then pops it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

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
