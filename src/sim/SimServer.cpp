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

namespace {

// utime + stime of a /proc/.../stat file, in seconds; negative when it cannot be read.
double CpuSecondsOf(const std::string& statPath) {
  std::ifstream stat(statPath);
  std::string text;
  if (!std::getline(stat, text)) return -1;
  // The command name may hold blanks: fields are counted after its closing parenthesis.
  const size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 > text.size()) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::strtoul(field.c_str(), nullptr, 10);
    if (i == 15) stime = std::strtoul(field.c_str(), nullptr, 10);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// "pkt-worker-3" -> "pkt-worker"; names without a trailing number stay as they are.
std::string ThreadFamily(const std::string& name) {
  size_t end = name.size();
  while (end > 0 && name[end - 1] >= '0' && name[end - 1] <= '9') --end;
  if (end < name.size() && end > 1 && name[end - 1] == '-') return name.substr(0, end - 1);
  return name;
}

void ReadThreads(const std::string& base, ProcessUsage& usage) {
  DIR* tasks = opendir((base + "/task").c_str());
  if (tasks == nullptr) return;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const std::string task = base + "/task/" + entry->d_name;
    const double cpu = CpuSecondsOf(task + "/stat");
    if (cpu < 0) continue;  // ended meanwhile
    std::ifstream comm(task + "/comm");
    std::string name;
    std::getline(comm, name);
    usage.threadCpuSeconds[ThreadFamily(name)] += cpu;
    std::ifstream status(task + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
          line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
        usage.contextSwitches += std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
      }
    }
  }
  closedir(tasks);
}

}  // namespace

ProcessUsage ReadProcessUsage(int pid) {
  ProcessUsage usage;
  if (pid <= 0) return usage;
  const std::string base = "/proc/" + std::to_string(pid);
  usage.cpuSeconds = CpuSecondsOf(base + "/stat");
  if (usage.cpuSeconds < 0) return ProcessUsage{};
  std::ifstream status(base + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) usage.vmHwmKb = std::atol(line.c_str() + 6);
    if (line.rfind("VmRSS:", 0) == 0) usage.vmRssKb = std::atol(line.c_str() + 6);
  }
  ReadThreads(base, usage);
  usage.ok = true;
  return usage;
}

}  // namespace Sim
