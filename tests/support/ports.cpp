#include "support/ports.h"

#include <cstdlib>
#include <arpa/inet.h>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zq_test {

namespace {

uint16_t FreePort(int type) {
  int fd = socket(AF_INET, type, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("bind failed");
  }
  close(fd);
  return ntohs(address.sin_port);
}

std::mutex g_lock_mutex;
int g_lock_holders = 0;
int g_lock_fd = -1;
bool g_ports_are_ours = false;

}  // namespace

uint16_t FreeTcpPort() { return FreePort(SOCK_STREAM); }
uint16_t FreeUdpPort() { return FreePort(SOCK_DGRAM); }

void FixedPortsAreOurs() {
  std::lock_guard<std::mutex> lock(g_lock_mutex);
  g_ports_are_ours = true;
}

FixedPortsLock::FixedPortsLock() {
  std::lock_guard<std::mutex> lock(g_lock_mutex);
  if (g_ports_are_ours || g_lock_holders++ > 0) return;
  // A test run in a network namespace of its own has its own fixed ports,
  // and names its own lock so that it does not wait for runs outside it.
  const char* path = getenv("ZQ_FIXED_PORTS_LOCK");
  if (path == nullptr || *path == '\0') path = "/tmp/zq_camera_service-fixed-ports.lock";
  g_lock_fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (g_lock_fd < 0) throw std::runtime_error("cannot open the fixed-ports lock");
  while (flock(g_lock_fd, LOCK_EX) != 0) {
  }
}

FixedPortsLock::~FixedPortsLock() {
  std::lock_guard<std::mutex> lock(g_lock_mutex);
  if (g_ports_are_ours || --g_lock_holders > 0) return;
  close(g_lock_fd);
  g_lock_fd = -1;
}

}  // namespace zq_test
