#include "utilities/qvchildreaper.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "utilities/platform/qvchildend.h"
#include "utilities/platform/qvpoll.h"
#include "utilities/qvexception.h"
#include "utilities/qvthreadprimitives.h"

namespace Quorvane {

namespace {

struct Child {
  int pid;
  int descriptor;  // -1: the system gave none, so the child is looked at by id
};

using Children = std::vector<Child>;

// How often a child without a descriptor is looked at: only there does a
// wait poll.
constexpr long kSliceMicroseconds = 20000;

// Never destroyed: exit may come while the thread still waits.
struct State {
  std::mutex lock;
  Children handed;   // for the next settle
  Children adopted;  // the thread's
  QVThread* thread = nullptr;
  bool threadReturned = false;  // it has ended and waits to be joined
  bool stopping = false;
  int wake[2] = {-1, -1};
  pid_t owner = 0;  // the process whose children and thread these are
};

State& Shared() {
  static State* state = new State;
  return *state;
}

void Forget(Child& child) {
  if (child.descriptor >= 0) close(child.descriptor);
  child.descriptor = -1;
}

void ForgetAll(Children& children) {
  for (Child& child : children) Forget(child);
  children.clear();
}

// A forked child inherits the parent's lists and thread pointer: they are
// the parent's children and the parent's thread, not this process's.
// Under the lock.
void LeaveWhatIsNotOurs(State& state) {
  const pid_t self = getpid();
  if (state.owner == self) return;
  if (state.owner != 0) {
    ForgetAll(state.handed);
    ForgetAll(state.adopted);
    state.thread = nullptr;  // no such thread here: never joined, never destroyed
    state.threadReturned = false;
    state.stopping = false;
    for (int& end : state.wake) {
      if (end >= 0) close(end);
      end = -1;
    }
  }
  state.owner = self;
}

void ReapEnded(Children& children) {
  std::erase_if(children, [](Child& child) {
    if (platform::ReapChildIfEnded(child.descriptor, child.pid) == platform::ChildEndState::running) return false;
    Forget(child);
    return true;
  });
}

// Waits at most microseconds (-1: no limit) until one of the children may
// have ended or wakeFd (-1: none) is readable.
void AwaitAnEnd(const Children& children, int wakeFd, long microseconds) {
  std::vector<platform::QVDescriptorWait> entries;
  bool someByIdOnly = false;
  for (const Child& child : children) {
    if (child.descriptor >= 0) {
      entries.push_back({child.descriptor, 0, false, 0});
    } else {
      someByIdOnly = true;
    }
  }
  if (wakeFd >= 0) entries.push_back({wakeFd, 0, false, 0});
  if (someByIdOnly && (microseconds < 0 || microseconds > kSliceMicroseconds)) microseconds = kSliceMicroseconds;
  platform::WaitForDescriptors(entries.data(), entries.size(), microseconds);
}

void Wake(const State& state) {
  if (state.wake[1] >= 0) (void)!write(state.wake[1], "w", 1);
}

void DrainWake(int fd) {
  char bytes[64];
  while (read(fd, bytes, sizeof bytes) > 0) {
  }
}

void ReaperThread() {
  QVThread::SetName("ChildReaper");
  State& state = Shared();
  std::unique_lock<std::mutex> hold(state.lock);
  for (;;) {
    ReapEnded(state.adopted);
    if (state.adopted.empty() || state.stopping) {
      state.threadReturned = true;
      return;
    }
    // A copy: adoptions meanwhile may move the list; the descriptors stay
    // open until this thread itself reaps their children.
    const Children watched = state.adopted;
    const int wakeFd = state.wake[0];
    hold.unlock();
    AwaitAnEnd(watched, wakeFd, -1);
    DrainWake(wakeFd);
    hold.lock();
  }
}

// Exit must not meet the thread still running: it is stopped and joined.
// Children still running are left as they are.
void StopAtExit() {
  State& state = Shared();
  QVThread* thread = nullptr;
  {
    std::lock_guard<std::mutex> hold(state.lock);
    if (state.owner != getpid() || state.thread == nullptr) return;
    state.stopping = true;
    Wake(state);
    thread = state.thread;
    state.thread = nullptr;
  }
  try {
    thread->Join();
  } catch (const QVException&) {
  }
  delete thread;
  std::lock_guard<std::mutex> hold(state.lock);
  ForgetAll(state.adopted);
}

// Gives the children to the thread, starting it when none runs. Under the
// lock.
void Adopt(State& state, Children& children) {
  state.adopted.insert(state.adopted.end(), children.begin(), children.end());
  children.clear();
  if (state.thread != nullptr && !state.threadReturned) {
    Wake(state);
    return;
  }
  if (state.thread != nullptr) {
    // It has returned and let go of the lock: the join is immediate.
    state.thread->Join();
    delete state.thread;
    state.thread = nullptr;
  }
  if (state.wake[0] < 0 && pipe2(state.wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    state.wake[0] = state.wake[1] = -1;
    return;  // kept for the next adoption to try again
  }
  static bool hooked = false;  // under the lock; a forked child inherits the hook
  if (!hooked) {
    hooked = true;
    atexit(&StopAtExit);
  }
  state.threadReturned = false;
  state.stopping = false;
  state.thread = caught([] { ReaperThread(); });
}

}  // namespace

void QVChildReaper::handOver(int child) noexcept {
  if (child < 1) return;
  int err = 0;
  const int descriptor = platform::OpenChildEndDescriptor(child, &err);
  if (descriptor < 0 && err == ESRCH) return;
  try {
    State& state = Shared();
    std::lock_guard<std::mutex> hold(state.lock);
    LeaveWhatIsNotOurs(state);
    state.handed.push_back(Child{child, descriptor});
  } catch (...) {
    if (descriptor >= 0) close(descriptor);
  }
}

void QVChildReaper::settle(std::chrono::milliseconds bound) noexcept {
  try {
    State& state = Shared();
    Children mine;
    {
      std::lock_guard<std::mutex> hold(state.lock);
      LeaveWhatIsNotOurs(state);
      mine.swap(state.handed);
    }
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
      ReapEnded(mine);
      if (mine.empty()) return;
      const auto left =
          std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      AwaitAnEnd(mine, -1, static_cast<long>(left.count()));
    }
    std::lock_guard<std::mutex> hold(state.lock);
    Adopt(state, mine);
  } catch (...) {
    // A thread that cannot start leaves its children with the next adoption.
  }
}

}  // namespace Quorvane
