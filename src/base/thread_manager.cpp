#include "base/thread_manager.h"

#include "base/log.h"
#include "base/utils.h"

namespace zq_camera_service {

ThreadManager* ThreadManager::GetInstance() {
  static ThreadManager* instance = new ThreadManager();
  return instance;
}

std::string ThreadManager::CreateThread(std::string name, IThreadService* service, int index) {
  if (service == nullptr || index < 0 || index >= static_cast<int>(service->threadFuncs.size())) {
    zq_error("Failed to start thread\n");
    return "";
  }
  auto record = std::make_unique<Thread>();
  record->funcIndex = index;
  record->service = service;

  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    zq_error("Failed to create thread attr\n");
    return "";
  }

  // The name is chosen and inserted in one locked step, so two callers can
  // never end up with the same name.
  std::lock_guard<std::mutex> lock(threads_lock);
  std::string candidate = name;
  for (int counter = 1; threads.count(candidate) != 0; ++counter) {
    candidate = Utils::StringFormat("%s%d", name.c_str(), counter);
  }
  Thread* raw = record.get();
  int rc = failCreationForTest ? -1 : pthread_create(&raw->threadId, &attr, StaticStartThreadFunc, raw);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    zq_error("Failed to start thread\n");
    return "";
  }
  threads[candidate] = std::move(record);
  return candidate;
}

int ThreadManager::StopThread(std::string& name) {
  Thread* record = nullptr;
  {
    std::lock_guard<std::mutex> lock(threads_lock);
    auto it = threads.find(name);
    if (it != threads.end()) record = it->second.get();
  }
  if (record == nullptr) {
    zq_error("Failed to stop thread %s not found\n", name.c_str());
    return -1;
  }
  if (record->service != nullptr) record->service->RequestStopThread();
  // Joined without holding threads_lock: the body may still be running.
  if (pthread_join(record->threadId, nullptr) != 0) zq_error("%s thread join failed\n", name.c_str());
  std::lock_guard<std::mutex> lock(threads_lock);
  threads.erase(name);
  return 0;
}

void* ThreadManager::StaticStartThreadFunc(void* arg) {
  Thread* record = static_cast<Thread*>(arg);
  zq_info("Thread manager start thread...\n");
  zq_info("Thread manager start thread...2\n");
  IThreadService* service = record->service;
  int index = record->funcIndex;  // checked by CreateThread
  (service->*(service->threadFuncs[index]))();
  zq_info("Thread manager start thread...3\n");
  return nullptr;
}

}  // namespace zq_camera_service
