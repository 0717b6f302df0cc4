#include "sim/SimServer.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace Sim {

namespace {

// Socket inodes bound to the port, from /proc/net/udp ("local_address" is HEXADDR:HEXPORT).
std::set<std::string> InodesOfPort(uint16_t port) {
  std::set<std::string> inodes;
  std::ifstream in("/proc/net/udp");
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmit, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmit >> uid >> timeout >> inode;
    const size_t colon = local.find(':');
    if (colon == std::string::npos) continue;
    if (std::strtoul(local.c_str() + colon + 1, nullptr, 16) == port) inodes.insert(inode);
  }
  return inodes;
}

}  // namespace

int FindUdpPortOwner(uint16_t port) {
  const std::set<std::string> inodes = InodesOfPort(port);
  if (inodes.empty()) return 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  int owner = 0;
  while (dirent* entry = readdir(proc)) {
    const int pid = std::atoi(entry->d_name);
    if (pid <= 0 || pid == getpid()) continue;
    const std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
    DIR* fds = opendir(fdDir.c_str());
    if (fds == nullptr) continue;
    while (dirent* fd = readdir(fds)) {
      char target[128];
      const ssize_t n = readlink((fdDir + "/" + fd->d_name).c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      target[n] = '\0';
      // "socket:[12345]"
      if (std::strncmp(target, "socket:[", 8) == 0) {
        std::string inode(target + 8);
        if (!inode.empty()) inode.pop_back();
        if (inodes.count(inode)) owner = pid;
      }
    }
    closedir(fds);
    if (owner) break;
  }
  closedir(proc);
  return owner;
}

ProcessUsage ReadProcessUsage(int pid) {
  ProcessUsage usage;
  if (pid <= 0) return usage;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return usage;
  // The command name may hold blanks: fields are counted after its closing parenthesis.
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return usage;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoul(field);
    if (i == 15) stime = std::stoul(field);
  }
  usage.cpuSeconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) usage.vmHwmKb = std::atol(line.c_str() + 6);
    if (line.rfind("VmRSS:", 0) == 0) usage.vmRssKb = std::atol(line.c_str() + 6);
  }
  usage.ok = true;
  return usage;
}

}  // namespace Sim
