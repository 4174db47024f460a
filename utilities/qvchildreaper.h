// The last keeper of the children the library started. A child whose keeper
// goes (the process manager when the last environment ends, a Pipes world
// when its environment ends) is handed over here, so that it is reaped when
// it ends, however late, and never stays a zombie for the rest of the
// program's life. Only children handed over are ever waited for: a child the
// program started itself stays the program's to reap.
#pragma once

#include <chrono>

namespace Quorvane {

class QVChildReaper {
 public:
  // How long an ending keeper waits for its children: their links are closed
  // by then, so a launched program normally ends within moments.
  static constexpr std::chrono::milliseconds kEndingBound{1000};

  // Takes over a child of this process that nothing else reaps from now on;
  // it is looked at by the next settle. Never waits, never throws. Ids below
  // 1, and children reaped already, are passed over.
  static void handOver(int child) noexcept;

  // Waits at most bound for the children handed over to end, reaping each as
  // it does; those still running then are left to the reaper's thread
  // ("QV-ChildReaper"), which reaps each when it ends without holding anyone
  // up. The thread ends when it has none left, and is stopped at exit (the
  // children still running then are the system's once the program is gone).
  static void settle(std::chrono::milliseconds bound) noexcept;
};

}  // namespace Quorvane
