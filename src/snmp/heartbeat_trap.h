// Notification module heartbeatTrap: sends heartbeatNotification every
// heartbeat_interval seconds, always. Runs on the agent thread.
#pragma once

#include <cstdint>

extern long count;             // heartbeats sent so far
extern int32_t heartbeatlen;   // the second varbind's value

// Takes the parameter block and registers the heartbeat alarm.
void init_heartbeatTrap();
// Sends heartbeatNotification; 0.
int send_heartbeatNotification_trap(unsigned int clientreg, void* clientarg);
