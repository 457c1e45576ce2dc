// Runs a component's member functions as named threads and stops them by name.
#pragma once

#include <pthread.h>

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace zq_camera_service {

class IThreadService {
 public:
  virtual ~IThreadService() = default;
  // A thread body of the implementing class.
  virtual void StartThread() = 0;
  // Asks the bodies of this component to return soon; StopThread calls it
  // before joining, because bodies are stopped cooperatively, never cancelled
  // while they may hold a lock.
  virtual void RequestStopThread() {}

  std::vector<void (IThreadService::*)()> threadFuncs;
};

struct Thread {
  pthread_t threadId{};
  int funcIndex = 0;
  IThreadService* service = nullptr;
};

class ThreadManager {
 public:
  static ThreadManager* GetInstance();

  // Starts body number `index` of `service`; the unique name it runs under, or "".
  std::string CreateThread(std::string name, IThreadService* service, int index);
  // Stops and joins the named thread and forgets it; 0, or -1 for an unknown name.
  int StopThread(std::string& name);
  static void* StaticStartThreadFunc(void* record);

  // Test seam: pthread_create is replaced by a failing call when set.
  void SetFailThreadCreationForTest(bool fail) { failCreationForTest = fail; }

 private:
  ThreadManager() = default;

  std::unordered_map<std::string, std::unique_ptr<Thread>> threads;
  std::mutex threads_lock;
  bool failCreationForTest = false;
};

}  // namespace zq_camera_service
