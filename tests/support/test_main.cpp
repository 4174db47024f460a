// Main of every test program: each process gets a private temporary root
// inside the folder the test run gave it, QUORVANE_TMPDIR points the
// library's sync folder into it, and the root is removed when the process
// ends, once the library's record threads have written what they still had
// and stopped: nothing may write there after the clean-up. The thread's
// signal state is set up before any test runs (see
// SetUpSignalStateOfThisThread).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "qvtest.h"

int main(int argc, char** argv) {
  // Before any test can be signalled; the processes a test forks inherit it.
  qvtest::SetUpSignalStateOfThisThread();
  testing::InitGoogleTest(&argc, argv);
  const pid_t owner = getpid();
  const std::string root = qvtest::PrivateRoot();
  setenv("QUORVANE_TMPDIR", root.c_str(), 1);
  int rc = RUN_ALL_TESTS();
  if (getpid() == owner) qvtest::EndTestProcess(root);
  return rc;
}
