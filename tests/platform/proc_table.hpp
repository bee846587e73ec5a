#pragma once
// Process-table checks for tests: is a pid alive, is it a zombie, which
// processes have a given parent.

#include <sys/types.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <dirent.h>

namespace vexa::testing {

// The state letter of /proc/<pid>/stat ('Z' zombie), or 0 when gone.
inline char ProcState(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  auto close = line.rfind(')');
  if (close == std::string::npos || close + 2 >= line.size()) return 0;
  return line[close + 2];
}

inline bool Alive(pid_t pid) {
  char s = ProcState(pid);
  return s != 0 && s != 'Z' && s != 'X';
}

// Every process (any state) whose parent is `parent`.
inline std::vector<pid_t> ChildrenOf(pid_t parent) {
  std::vector<pid_t> out;
  DIR* d = opendir("/proc");
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    pid_t pid = static_cast<pid_t>(atoi(e->d_name));
    if (pid <= 0) continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/stat");
    std::string line;
    if (!std::getline(in, line)) continue;
    auto close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    char state;
    pid_t ppid;
    if (rest >> state >> ppid && ppid == parent) out.push_back(pid);
  }
  closedir(d);
  return out;
}

}  // namespace vexa::testing
