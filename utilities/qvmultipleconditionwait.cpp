#include <chrono>

#include "utilities/qvcondition.h"
#include "utilities/qvdescriptorconditions.h"
#include "utilities/qvexception.h"

namespace Quorvane {

namespace {
constexpr char kSourceFile[] = "utilities/qvplatformthreads";

// POSIX-thread conditions have no descriptor: poll each in turn, without
// sleeping between passes, until one is signalled or the time is up.
QVCondition* generic_multiple_condition_wait(std::list<QVCondition*>& conditions,
                                             long microseconds) {
  if (microseconds != -1 && microseconds <= 0) return nullptr;
  const auto start = std::chrono::steady_clock::now();
  while (true) {
    for (QVCondition* condition : conditions) {
      if (condition->Wait(0)) return condition;
    }
    if (microseconds != -1 &&
        std::chrono::steady_clock::now() - start >= std::chrono::microseconds(microseconds)) {
      return nullptr;
    }
  }
}
}  // namespace

QVCondition* QVMultipleConditionWait(std::list<QVCondition*>& conditions, long microseconds) {
  if (conditions.empty() || conditions.front() == nullptr) {
    throw QVException("Found unsupported condition.", kSourceFile, __LINE__,
                      qvexceptiontype::badArgument, 0);
  }
  const _qvcondition first = conditions.front()->GetType();
  for (QVCondition* condition : conditions) {
    const _qvcondition kind = condition == nullptr ? static_cast<_qvcondition>(-1)
                                                   : condition->GetType();
    if (kind != first && (kind >= QVPthreadConditionType || first >= QVPthreadConditionType ||
                          kind < 0)) {
      throw QVException("All condition objects must be of the same type.", kSourceFile, __LINE__,
                        qvexceptiontype::badArgument, 0);
    }
  }
  switch (first) {
    case QVFifoConditionType:
    case QVPipeConditionType:
      return fd_multiple_condition_wait(conditions, microseconds);
    case QVPthreadConditionType:
      return generic_multiple_condition_wait(conditions, microseconds);
    default:
      throw QVException("Found unsupported condition.", kSourceFile, __LINE__,
                        qvexceptiontype::badArgument, 0);
  }
}

}  // namespace Quorvane

