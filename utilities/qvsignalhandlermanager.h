// Shares the process's signals between the program and the library: parties
// register handler records, the manager installs one dispatching handler per
// signal and calls the registrations in turn, keeping the handler it replaced.
#pragma once

#include <signal.h>

#include <cstdint>
#include <list>
#include <ostream>

#include "utilities/qvobject.h"

namespace Quorvane {

using QVPlainSignalFunction = void (*)(int);
using QVSiginfoSignalFunction = void (*)(int, siginfo_t*, void*);

inline constexpr int maxSignalHandlerNumber = 60;

class QVSignalHandler : public QVObject {
 public:
  QVSignalHandler();
  QVSignalHandler(const QVSignalHandler& other);
  QVSignalHandler(int number, const struct sigaction& info, bool previouslyExists,
                  bool external, bool valid);
  QVSignalHandler(int number, QVPlainSignalFunction function, bool previouslyExists,
                  bool external, bool valid);
  QVSignalHandler(int number, QVSiginfoSignalFunction function, bool previouslyExists,
                  bool external, bool valid);
  ~QVSignalHandler() override = default;
  QVSignalHandler& operator=(const QVSignalHandler& other);

  int getSignalNumber() const { return number; }
  // The handler address: the key of a registration.
  uintptr_t getHandlerFunction() const;
  const struct sigaction& getOSStruct() const { return osHandlerInfo; }
  bool siginfoHandlerQ() const { return (osHandlerInfo.sa_flags & SA_SIGINFO) != 0; }
  bool preExistsQ() const { return previouslyExists; }
  bool externalQ() const { return external; }
  bool validQ() const { return valid; }
  void invalidate() { valid = false; }

  // Calls the handler; a plain handler receives only the number.
  void operator()(siginfo_t* info, void* context) const;

  bool operator==(const QVSignalHandler& other) const;
  bool operator!=(const QVSignalHandler& other) const { return !(*this == other); }

  void print(std::ostream& os) const;

 private:
  int32_t number = 0;
  struct sigaction osHandlerInfo;
  bool previouslyExists = false;
  bool external = false;
  bool valid = false;
};

std::ostream& operator<<(std::ostream& os, const QVSignalHandler& handler);

using QVSignalHandlerList = std::list<QVSignalHandler, QVStdAllocator<QVSignalHandler>>;

// Which signals (1 to 60) the library may touch; all by default.
class QVSignalHandlerDispositionSet : public QVObject {
 public:
  QVSignalHandlerDispositionSet() = default;
  QVSignalHandlerDispositionSet(const QVSignalHandlerDispositionSet&) = default;
  QVSignalHandlerDispositionSet& operator=(const QVSignalHandlerDispositionSet&) = default;
  ~QVSignalHandlerDispositionSet() override = default;

  void handleSignal(int number);
  void doNotHandleSignal(int number);
  // False for numbers outside 1 to 60.
  bool getSignalDisposition(int number) const;
  void reset() { bits = kAll; }

  bool operator==(const QVSignalHandlerDispositionSet& other) const { return bits == other.bits; }
  bool operator!=(const QVSignalHandlerDispositionSet& other) const { return bits != other.bits; }

  uint64_t getBits() const { return bits; }
  void setBits(uint64_t value) { bits = value & kAll; }

  void print(std::ostream& os) const;

  static constexpr uint64_t kAll = (uint64_t{1} << maxSignalHandlerNumber) - 1;

 private:
  uint64_t bits = kAll;
};

std::ostream& operator<<(std::ostream& os, const QVSignalHandlerDispositionSet& set);

// A handle on the process-wide signal tables; make one wherever signals are set.
class QVSignalHandlerManager : public QVObject {
 public:
  QVSignalHandlerManager();
  ~QVSignalHandlerManager() override;
  QVSignalHandlerManager(const QVSignalHandlerManager&) = delete;
  QVSignalHandlerManager& operator=(const QVSignalHandlerManager&) = delete;

  // Throws the sigaction failure (type 4, EINVAL) for signals the system
  // keeps for itself.
  void setHandler(const QVSignalHandler& handler);
  void setHandlers(const QVSignalHandlerList& handlers);
  void setHandlerFromOSStruct(int number, const struct sigaction& info, bool previouslyExists);
  void setHandlerFromFunction(int number, QVPlainSignalFunction function, bool previouslyExists);
  void setHandlerFromFunction(int number, QVSiginfoSignalFunction function,
                              bool previouslyExists);

  void clearHandler(const QVSignalHandler& handler);
  void clearHandlers(const QVSignalHandlerList& handlers);
  void clearHandlerWithFunction(int number, QVPlainSignalFunction function);
  void clearHandlerWithFunction(int number, QVSiginfoSignalFunction function);

  void handleSignal(int number);
  void stopHandlingSignal(int number);
  void startHandlingSignals();
  void stopHandlingSignals();
  void restorePreviouslyExistingHandlers();

  // sigaction with the record; returns the replaced disposition as a record.
  static QVSignalHandler installHandlerInSystem(const QVSignalHandler& handler);
  static QVSignalHandler theQVHandler(int number);
  static QVSignalHandler ignoreHandler(int number);
  static QVSignalHandler defaultHandler(int number);
  static QVSignalHandler ignoreSignal(int number);

  static void setSignalDisposition(int number, bool handle);
  static void setSignalDispositions(const QVSignalHandlerDispositionSet& set);
  static bool getSignalDisposition(int number);
  static bool canHandleSignalFromDisposition(int number);
  static QVSignalHandlerDispositionSet getSignalDispositions();

  // Used from inside the dispatching handler: no lock, no allocation.
  class SafeManager {
   public:
    static void callHandlers(int number, siginfo_t* info, void* context);
    static void callOnlyPreexistingOrExternalHandlers(int number, siginfo_t* info,
                                                      void* context);
    static bool hasPreexistingOrExternalHandlerQ(int number);
  };

  void print(std::ostream& os) const;
};

std::ostream& operator<<(std::ostream& os, const QVSignalHandlerManager& manager);

// The dispatching handler the manager installs.
void actualSignalHandler(int number, siginfo_t* info, void* context);

}  // namespace Quorvane
