// Helpers of the Pipes device tests: a world made through pipe_main, devices
// made from parameter texts, raw pipes the test owns, and checks that a
// process left no child, descriptor or zombie behind.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/qvmessagelayer.h"
#include "device/qvpipes.h"

namespace qvtest {

inline void* PipesAllocate(uint64_t size) { return std::malloc(size); }
inline void PipesRelease(void* block) { std::free(block); }

inline long Call(void* object, Quorvane::qvdeviceselector selector, void* a1 = nullptr, void* a2 = nullptr) {
  return pipe_main(object, selector, a1, a2);
}

class PipesWorld {
 public:
  PipesWorld() {
    // As the environment would: armed message pipes raise SIGIO.
    watchsignal(SIGIO, &unix_signal_handler);
    EXPECT_EQ(Call(&world_, Quorvane::QVDEVICE_WORLD_INIT, reinterpret_cast<void*>(&PipesAllocate),
                   reinterpret_cast<void*>(&PipesRelease)),
              0);
  }
  ~PipesWorld() {
    if (world_ != nullptr) Call(world_, Quorvane::QVDEVICE_WORLD_DEINIT);
  }
  PipesWorld(const PipesWorld&) = delete;
  PipesWorld& operator=(const PipesWorld&) = delete;

  // The device, or null with the answer in *error.
  void* Make(const std::string& protocol, unsigned long mode, const std::string& name, unsigned long options,
             long* error) {
    std::string block = protocol + '\0' + std::to_string(mode) + '\0' + name + '\0' + '\0' + '\0' +
                        std::to_string(options) + '\0';
    void* device = nullptr;
    *error = Call(world_, Quorvane::QVDEVICE_WORLD_MAKE, &device, block.data());
    return device;
  }
  // A parent-connect device on the four descriptor numbers, which it then owns.
  void* OnDescriptors(int in, int out, int msgIn, int msgOut, long* error) {
    return Make("Pipes:" + std::to_string(in) + "," + std::to_string(out) + "," + std::to_string(msgIn) + "," +
                    std::to_string(msgOut),
                16, "", 0, error);
  }
  void* world() const { return world_; }

 private:
  void* world_ = nullptr;
};

// A pipe the test owns.
struct RawPipe {
  int fds[2] = {-1, -1};
  RawPipe() { EXPECT_EQ(pipe(fds), 0); }
  ~RawPipe() { CloseBoth(); }
  RawPipe(const RawPipe&) = delete;
  RawPipe& operator=(const RawPipe&) = delete;
  int r() const { return fds[0]; }
  int w() const { return fds[1]; }
  int Release(int end) {
    int fd = fds[end];
    fds[end] = -1;
    return fd;
  }
  void CloseBoth() {
    for (int& fd : fds) {
      if (fd >= 0) close(fd);
      fd = -1;
    }
  }
};

// The pipes between a device and a peer the test plays or starts: the device
// takes its ends when attached; the test keeps the others.
struct PeerPipes {
  RawPipe toDevice, fromDevice, msgIn, msgOut;
  void* Attach(PipesWorld& world, long* error) {
    void* device = world.OnDescriptors(toDevice.r(), fromDevice.w(), msgIn.r(), msgOut.w(), error);
    if (device != nullptr) toDevice.Release(0), fromDevice.Release(1), msgIn.Release(0), msgOut.Release(1);
    return device;
  }
};

// Reads data until count bytes came or a read fails; control-only reads add
// nothing.
inline std::string ReadStreamText(void* device, size_t count) {
  std::string got;
  while (got.size() < count) {
    char* start = nullptr;
    long size = 0;
    if (Call(device, Quorvane::QVDEVICE_READ, &start, &size) != 0) break;
    if (start != nullptr) got.append(start, static_cast<size_t>(size));
  }
  return got;
}

// The words of a process's command line.
inline std::vector<std::string> CommandLineOf(int pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline");
  std::vector<std::string> words;
  std::string word;
  while (std::getline(file, word, '\0')) words.push_back(word);
  return words;
}

inline int OpenDescriptorCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
  closedir(dir);
  return count;
}

// Children of this process, zombies included.
inline std::vector<int> ChildrenOfThisProcess() {
  std::vector<int> children;
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return children;
  const std::string self = std::to_string(getpid());
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(line.substr(close + 2));
    std::string state, parent;
    rest >> state >> parent;
    if (parent == self) children.push_back(std::atoi(entry->d_name));
  }
  closedir(dir);
  return children;
}

}  // namespace qvtest
