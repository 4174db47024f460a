// Shared-memory links set up between two real processes: what the segment and
// the sync folder hold once both ends are connected and after they close, the
// ways a listener or a connector meets a segment that is already there, and
// the refusals of names, modes and protocols.
#include "device/qvshmdevice.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "device/qvshmlayout.h"
#include "device/qvshmnames.h"
#include "device/qvshmrecordmanager.h"
#include "qvshmtest.h"
#include "support/qvpattern.h"

using namespace Quorvane;
using namespace qvshmtest;

namespace {

// The segment of a link read through a mapping of our own.
class SegmentView {
 public:
  explicit SegmentView(const std::string& name, qvdeviceconnectionside side = QVListenerSide) {
    const int fd = open(ShmPath(name).c_str(), O_RDWR);
    if (fd < 0) return;
    void* memory = mmap(nullptr, shmlayout::kTotalLength, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (memory == MAP_FAILED) return;
    memory_ = memory;
    layout_ = QVSHMLayout(memory_, shmlayout::kTotalLength, side);
  }
  ~SegmentView() {
    if (memory_ != nullptr) munmap(memory_, shmlayout::kTotalLength);
  }
  SegmentView(const SegmentView&) = delete;
  SegmentView& operator=(const SegmentView&) = delete;
  bool mappedQ() const { return memory_ != nullptr; }
  QVSHMLayout& layout() { return layout_; }

 private:
  void* memory_ = nullptr;
  QVSHMLayout layout_;
};

// The object of a link's segment made by hand, sized and all zero, as its
// maker leaves it before writing the header; mapped, or null.
void* MakeZeroedSegment(const std::string& name) {
  const int fd = open(ShmPath(name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return nullptr;
  void* memory = ftruncate(fd, shmlayout::kTotalLength) == 0
                     ? mmap(nullptr, shmlayout::kTotalLength, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                     : MAP_FAILED;
  close(fd);
  return memory == MAP_FAILED ? nullptr : memory;
}

// The two ids of a segment's record file, read as plain text.
std::pair<int, int> RecordOf(const std::string& name) {
  std::ifstream in(SyncDir() + "/qvshm-" + name + ".rec");
  std::string line;
  std::getline(in, line);
  int first = 0, second = 0;
  std::sscanf(line.c_str(), "%d:%d", &first, &second);
  return {first, second};
}

// The link's listening port is bound to the loopback address alone.
bool ListensOnLoopbackOnly(uint16_t port) {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, ":%04X", port);
  bool loopback = false, elsewhere = false;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    if (state != "0A" || local.size() < 5 || local.compare(local.size() - 5, 5, wanted) != 0) continue;
    (local.rfind("0100007F:", 0) == 0 ? loopback : elsewhere) = true;
  }
  return loopback && !elsewhere;
}

// The sockets of this process that a program it launched would inherit.
std::vector<int> SocketsKeptAcrossExec() {
  std::vector<int> kept;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      const int fd = std::atoi(entry->d_name);
      char target[64] = {};
      const std::string link = std::string("/proc/self/fd/") + entry->d_name;
      if (readlink(link.c_str(), target, sizeof target - 1) <= 0) continue;
      if (std::string(target).rfind("socket:", 0) != 0) continue;
      if ((fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0) kept.push_back(fd);
    }
    closedir(dir);
  }
  return kept;
}

TEST(SharedMemoryLink, BothEndsConnectAndLeaveNothingBehindWhenClosed) {
  const std::string name = UniqueName("hs");
  SharedMailbox box;
  Child connector([&] { return ConnectorChild(box, name, 1, 3); });
  {
    World world;
    Link listener;
    ASSERT_EQ(world.Make(listener, name, kListen), 0);
    {
      SegmentView early(name);
      ASSERT_TRUE(early.mappedQ());
      const uint16_t port = early.layout().listenerPort();
      ASSERT_NE(port, 0);
      EXPECT_TRUE(ListensOnLoopbackOnly(port)) << "side channel port " << port;
    }
    box->stage = 1;
    ASSERT_EQ(listener.Connect(), 0);
    ASSERT_TRUE(Reaches(box, 2));

    SegmentView view(name);
    ASSERT_TRUE(view.mappedQ());
    const QVSHMLayoutData data = view.layout().data();
    EXPECT_EQ(data.listenerMagicInitializer, 39875u);
    EXPECT_EQ(data.connectorMagicInitializer, 39876u);
    EXPECT_EQ(data.listenerRevision, 2u);
    EXPECT_EQ(data.connectorRevision, 2u);
    EXPECT_EQ(data.listenerConnected, 1);
    EXPECT_EQ(data.connectorConnected, 1);
    EXPECT_EQ(data.listenerSyncObjectsReady, 1);
    EXPECT_EQ(data.connectorSyncObjectsReady, 1);
    EXPECT_EQ(data.listenerPending, 0);
    EXPECT_NE(data.listenerPort, 0u);
    EXPECT_EQ(view.layout().writeQueueProcessID(), static_cast<uint32_t>(getpid())) << "queue A";
    EXPECT_EQ(view.layout().readQueueProcessID(), static_cast<uint32_t>(connector.pid())) << "queue B";
    EXPECT_TRUE(listener->ConnectedQ());
    EXPECT_EQ(listener->Name(), ToQVString(name));
    // The side channel the listener accepted stays out of launched programs.
    EXPECT_EQ(SocketsKeptAcrossExec(), std::vector<int>{});

    const std::vector<std::string> expected = {
        name + "fffsrdcon", name + "fffswrcon", name + "ffrdcon", name + "ffrmcon", name + "ffwmcon",
        name + "ffwrcon",   name + "rdlck",     name + "rdmsglck", name + "wrlck", name + "wrmsglck",
        "qvshm-" + name + ".rec"};
    EXPECT_EQ(EntriesWith(SyncDir(), name), expected);
    const std::pair<int, int> record = RecordOf(name);
    EXPECT_TRUE((record == std::pair<int, int>{getpid(), connector.pid()} ||
                 record == std::pair<int, int>{connector.pid(), getpid()}))
        << record.first << ":" << record.second;

    box->stage = 3;
    EXPECT_EQ(connector.Wait(), 0);
  }
  EXPECT_EQ(EntriesWith(SyncDir(), name), std::vector<std::string>{});
  EXPECT_FALSE(Exists(ShmPath(name)));
}

TEST(SharedMemoryLink, AListenerWithoutANameDrawsOneNoObjectUses) {
  World world;
  Link listener;
  ASSERT_EQ(world.Make(listener, "", kListen), 0);
  const std::string name = ToStdString(listener->Name());
  EXPECT_TRUE(qvtest::Pattern("[A-Za-z0-9]{5}_shm").Matches(name)) << name;
  EXPECT_TRUE(Exists(ShmPath(name)));
  listener.Close();
  EXPECT_FALSE(Exists(ShmPath(name)));
}

// With files held to a size below a segment's, every drawn name fails to
// become a segment: the listener draws a fresh name each time and gives up
// (59, link error 40) after a bounded number instead of trying for ever.
TEST(SharedMemoryLink, AListenerGivesUpOnDrawnNamesThatAllFail) {
  SharedMailbox box;
  Child child([&] {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit small{4096, 4096};
    if (setrlimit(RLIMIT_FSIZE, &small) != 0) return 1;
    World world;
    Link listener;
    box->answer = static_cast<int>(world.Make(listener, "", kListen));
    return 0;
  });
  const int status = child.Wait();
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_EQ(box->answer.load(), 40);
}

// Any object of the sync folder named a candidate plus one of the suffixes
// (the bare name among them) rules the candidate out.
TEST(SharedMemoryNames, ACandidateIsTakenByAnyOfItsSuffixes) {
  const std::string stem = UniqueName("nt");
  ASSERT_TRUE(initSyncObjectDir());
  EXPECT_FALSE(shmnames::NameTakenQ(ToQVString(stem)));
  for (const shmnames::Suffix& row : shmnames::syncObjectNameMap) {
    const std::string path = SyncDir() + "/" + stem + std::string(row.suffix);
    std::ofstream(path).put('x');
    EXPECT_TRUE(shmnames::NameTakenQ(ToQVString(stem))) << row.key;
    std::remove(path.c_str());
  }
  EXPECT_FALSE(shmnames::NameTakenQ(ToQVString(stem)));
  const QVString drawn = shmnames::DrawName();
  EXPECT_FALSE(shmnames::NameTakenQ(drawn));
}

// What a device is refused before it touches anything, by the exception's
// type and text and by the bridge's link error.
TEST(SharedMemoryLink, RefusesNamesModesAndProtocolsItCannotServe) {
  struct Case {
    std::string name;
    unsigned long mode;
    std::string protocol;
    qvexceptiontype type;
    long linkError;
  };
  const std::string tooLong(shmnames::kMaximumNameLength + 1, 'n');
  const Case cases[] = {
      {"../escape", kListen, "SharedMemory", qvexceptiontype::badLinkName, 42},
      {"a/b", kConnect, "SharedMemory", qvexceptiontype::badLinkName, 42},
      {".hidden", kListen, "SharedMemory", qvexceptiontype::badLinkName, 42},
      {std::string("nul\0cut", 7), kListen, "SharedMemory", qvexceptiontype::badLinkName, 42},
      {"line\nfeed", kListen, "SharedMemory", qvexceptiontype::badLinkName, 42},
      {tooLong, kListen, "SharedMemory", qvexceptiontype::badLinkName, 42},
      {"", kConnect, "SharedMemory", qvexceptiontype::badLinkName, 42},
      {"", 0, "SharedMemory", qvexceptiontype::badLinkName, 42},  // no name: connect mode
      {"fine", 1, "SharedMemory", qvexceptiontype::unsupportedMode, 35},
      {"fine", kListen, "TCPIP", qvexceptiontype::unsupportedProtocol, 34},
  };
  World world;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name.substr(0, 20) + " mode " + std::to_string(c.mode) + " " + c.protocol);
    const Refusal refusal = Refuse(world.get(), c.name, c.mode, c.protocol);
    EXPECT_TRUE(refusal.refused);
    EXPECT_EQ(refusal.type, c.type) << refusal.what;
    Link link;
    EXPECT_EQ(world.Make(link, c.name, c.mode, c.protocol), c.linkError);
    EXPECT_FALSE(link);
  }
  EXPECT_FALSE(Exists(SyncDir() + "/../escape"));
  EXPECT_FALSE(Exists(SyncDir() + "/../escapewrlck"));
  EXPECT_EQ(EntriesWith(SyncDir(), "fine"), std::vector<std::string>{});
  EXPECT_EQ(EntriesWith(SyncDir(), "feed"), std::vector<std::string>{});
}

TEST(SharedMemoryLink, TheProtocolNameIsComparedWithoutCaseAndModeZeroFollowsTheName) {
  World world;
  Link lower, guessed;
  ASSERT_EQ(world.Make(lower, UniqueName("lc"), kListen, "sharedmemory"), 0);
  ASSERT_EQ(world.Make(guessed, UniqueName("m0"), 0, ""), 0);
  EXPECT_EQ(guessed->Mode(), 1) << "a named device of mode 0 listens";
}

// A segment of the link's name that is not one of ours (garbage, or created
// and sized but never written) is refused under a requested name, by either
// side, and left where it was.
TEST(SharedMemoryLink, RefusesASegmentItCannotRecognise) {
  const std::string name = UniqueName("cr");
  for (const unsigned char fill : {0x00, 0x5a}) {
    const int fd = open(ShmPath(name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, shmlayout::kTotalLength), 0);
    std::vector<unsigned char> bytes(shmlayout::kTotalLength, fill);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
    World world;
    for (const unsigned long mode : {kListen, kConnect}) {
      Link link;
      EXPECT_EQ(world.Make(link, name, mode), 40) << "fill " << int(fill) << " mode " << mode;
    }
    EXPECT_EQ(Refuse(world.get(), name, kListen).what, name + " unrecognized pre-existing segment.");
    EXPECT_TRUE(Exists(ShmPath(name)));
    unlink(ShmPath(name).c_str());
  }
}

// A segment whose creator wrote the header and died before either magic: the
// listener refuses it as unrecognised and leaves it as it was.
TEST(SharedMemoryTakeOver, AHalfMadeSegmentWithoutAMagicIsRefused) {
  const std::string name = UniqueName("hm");
  void* memory = MakeZeroedSegment(name);
  ASSERT_NE(memory, nullptr);
  {
    const QVSHMLayout writesTheHeader(memory, shmlayout::kTotalLength, QVListenerSide, QVSHMLayoutHeader::standard());
  }
  ASSERT_EQ(QVSHMLayout::checkSegment(memory, shmlayout::kTotalLength), QVSHMSegmentCheck::recognized);
  munmap(memory, shmlayout::kTotalLength);
  {
    World world;
    Link link;
    EXPECT_EQ(world.Make(link, name, kListen), 40);
    const Refusal refusal = Refuse(world.get(), name, kListen);
    EXPECT_EQ(refusal.type, qvexceptiontype::nameInUse);
    EXPECT_EQ(refusal.what, name + " unrecognized pre-existing segment.");
  }
  SegmentView view(name);
  ASSERT_TRUE(view.mappedQ());
  EXPECT_EQ(view.layout().data().listenerMagicInitializer, 0u);
  EXPECT_EQ(view.layout().data().connectorMagicInitializer, 0u);
  unlink(ShmPath(name).c_str());
}

// A listener that died without closing left its segment, its conditions and
// perhaps its record: a new listener of the same name gets a fresh segment,
// whether the world's start-up sweep finds the record or the listener finds
// the dead owner in the segment itself.
TEST(SharedMemoryTakeOver, AStaleSegmentOfDeadOwnersIsReplaced) {
  // Both owners are forked before this process makes a world.
  const std::string names[] = {UniqueName("st"), UniqueName("su")};
  SharedMailbox boxes[2];
  std::unique_ptr<Child> owners[2];
  for (int i = 0; i < 2; ++i) {
    owners[i] = std::make_unique<Child>([&, i] {
      World world;
      Link listener;
      if (world.Make(listener, names[i], kListen) != 0) return 1;
      boxes[i]->stage = 1;
      pause();  // killed here, leaving everything behind
      return 2;
    });
  }
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(Reaches(boxes[i], 1));
    owners[i]->Kill();
  }
  // The second listener finds the dead owner in the segment itself.
  ASSERT_EQ(std::remove((SyncDir() + "/qvshm-" + names[1] + ".rec").c_str()), 0);
  for (int i = 0; i < 2; ++i) {
    const bool recordLeft = i == 0;
    SCOPED_TRACE(recordLeft ? "record left" : "record gone");
    const std::string& name = names[i];
    ASSERT_TRUE(Exists(ShmPath(name)));
    ASSERT_TRUE(Exists(SyncDir() + "/" + name + "ffrdcon")) << "the dead listener's condition is left";

    World world;
    Link listener;
    ASSERT_EQ(world.Make(listener, name, kListen), 0);
    SegmentView view(name);
    ASSERT_TRUE(view.mappedQ());
    EXPECT_EQ(view.layout().writeQueueProcessID(), static_cast<uint32_t>(getpid()));
    EXPECT_EQ(view.layout().readQueueProcessID(), 0u);
    EXPECT_EQ(view.layout().data().connectorMagicInitializer, 0u);
    EXPECT_EQ(RecordOf(name).first + RecordOf(name).second, getpid()) << "the dead owner's record is gone";
  }
}

TEST(SharedMemoryTakeOver, ALiveOwnerKeepsItsSegment) {
  const std::string name = UniqueName("lo");
  SharedMailbox box;
  Child owner([&] {
    World world;
    Link listener;
    if (world.Make(listener, name, kListen) != 0) return 1;
    box->stage = 1;
    return Reaches(box, 2) ? 0 : 3;
  });
  ASSERT_TRUE(Reaches(box, 1));
  {
    World world;
    const Refusal refusal = Refuse(world.get(), name, kListen);
    EXPECT_EQ(refusal.type, qvexceptiontype::nameInUse);
    EXPECT_EQ(refusal.what, name + " already in use by another process.");
    SegmentView view(name);
    ASSERT_TRUE(view.mappedQ());
    EXPECT_EQ(view.layout().writeQueueProcessID(), static_cast<uint32_t>(owner.pid()));
    EXPECT_EQ(view.layout().data().listenerConnected, 1);
  }
  box->stage = 2;
  EXPECT_EQ(owner.Wait(), 0);
}

// The connector comes first and waits in Connect; the listener made later
// takes its segment over as it stands, and the two connect.
TEST(SharedMemoryTakeOver, AConnectorThatComesFirstIsJoinedByTheListener) {
  const std::string name = UniqueName("cf");
  SharedMailbox box;
  Child connector([&] {
    World world;
    Link link;
    if (world.Make(link, name, kConnect) != 0) return 1;
    if (link->ConnectReady()) return 2;
    box->stage = 1;
    if (link.Connect() != 0) return 3;
    box->stage = 2;
    return Reaches(box, 3) ? 0 : 4;
  });
  ASSERT_TRUE(Reaches(box, 1));
  {
    SegmentView before(name);
    ASSERT_TRUE(before.mappedQ());
    EXPECT_EQ(before.layout().data().connectorMagicInitializer, 39876u);
    EXPECT_EQ(before.layout().data().listenerMagicInitializer, 0u);
  }
  World world;
  Link listener;
  ASSERT_EQ(world.Make(listener, name, kListen), 0);
  EXPECT_TRUE(listener->ConnectReady());
  ASSERT_EQ(listener.Connect(), 0);
  ASSERT_TRUE(Reaches(box, 2));
  SegmentView view(name);
  ASSERT_TRUE(view.mappedQ());
  EXPECT_EQ(view.layout().readQueueProcessID(), static_cast<uint32_t>(connector.pid()))
      << "the connector's half was not set up again";
  EXPECT_EQ(view.layout().writeQueueProcessID(), static_cast<uint32_t>(getpid()));
  box->stage = 3;
  EXPECT_EQ(connector.Wait(), 0);
}

// The other end made the segment's object and sized it but has not headed
// or claimed it yet (it is descheduled between those steps, or in the middle
// of writing the header): a device made now waits for it instead of refusing
// the segment, and takes it once the maker has finished. Either end may be
// the one that comes second.
TEST(SharedMemoryTakeOver, ASegmentStillBeingMadeIsWaitedFor) {
  struct Case {
    const char* tag;
    unsigned long waiterMode;  // the device that finds the half-made segment
    qvdeviceconnectionside makerSide;
  };
  for (const Case& c : {Case{"bmc", kConnect, QVListenerSide}, Case{"bml", kListen, QVConnectorSide}}) {
    SCOPED_TRACE(c.tag);
    const std::string name = UniqueName(c.tag);
    void* memory = MakeZeroedSegment(name);
    ASSERT_NE(memory, nullptr);
    SharedMailbox box;
    Child waiter([&] {
      World world;
      Link link;
      box->stage = 1;
      return world.Make(link, name, c.waiterMode) == 0 ? 0 : 1;
    });
    ASSERT_TRUE(Reaches(box, 1));
    // A device that refused the half-made segment would end at once.
    bool waiting = waiter.Wait(std::chrono::milliseconds(150)) == -1;
    EXPECT_TRUE(waiting) << "the device did not wait for the maker";
    if (waiting) {
      // Half the header, as a reader may find it while its maker writes it.
      const QVSHMLayoutHeader header = QVSHMLayoutHeader::standard();
      auto* words = static_cast<uint32_t*>(memory);
      words[shmlayout::kVersionAt / 4] = header.layoutVersion;
      words[shmlayout::kHeaderLengthAt / 4] = header.layoutHeaderLength;
      words[shmlayout::kDataLengthAt / 4] = header.dataLength;
      waiting = waiter.Wait(std::chrono::milliseconds(150)) == -1;
      EXPECT_TRUE(waiting) << "a half-written header was refused";
    }
    if (waiting) {
      // The maker's remaining steps: the whole header, then its claim.
      QVSHMLayout maker(memory, shmlayout::kTotalLength, c.makerSide, QVSHMLayoutHeader::standard());
      maker.initializeQueues();
      maker.setWriteQueueProcessID(static_cast<uint32_t>(getpid()));
      const bool listener = c.makerSide == QVListenerSide;
      maker.setWord(listener ? QVSHMWord::listenerRevision : QVSHMWord::connectorRevision, shmlayout::kRevision);
      maker.setWord(listener ? QVSHMWord::listenerMagicInitializer : QVSHMWord::connectorMagicInitializer,
                    listener ? shmlayout::kListenerMagic : shmlayout::kConnectorMagic);
      const int status = waiter.Wait();
      EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    munmap(memory, shmlayout::kTotalLength);
    unlink(ShmPath(name).c_str());
  }
}

TEST(SharedMemoryTakeOver, ASecondConnectorIsRefused) {
  const std::string name = UniqueName("sc");
  SharedMailbox box;
  Child connector([&] { return ConnectorChild(box, name, 1, 3); });
  World world;
  Link listener;
  ASSERT_TRUE(ListenAndConnect(world, listener, box, name));

  const Refusal refusal = Refuse(world.get(), name, kConnect);
  EXPECT_EQ(refusal.type, qvexceptiontype::nameInUse);
  EXPECT_EQ(refusal.what, name + " already taken.");
  EXPECT_TRUE(listener->ConnectedQ()) << "the refused connector left the link alone";
  box->stage = 3;
  EXPECT_EQ(connector.Wait(), 0);
}

// A yield function that asks to stop ends the wait for the peer with 52, on
// either side, whichever would have waited.
TEST(SharedMemoryLink, AYieldFunctionThatAbortsEndsConnectWith52) {
  World world;
  for (const unsigned long mode : {kListen, kConnect}) {
    Link link;
    ASSERT_EQ(world.Make(link, UniqueName(mode == kListen ? "ya" : "yb"), mode), 0);
    ASSERT_EQ(Call(link.raw(), QVDEVICE_SET_YIELD_FUNCTION, reinterpret_cast<void*>(&AbortAtOnce), nullptr), 0);
    EXPECT_EQ(Call(link.raw(), QVDEVICE_CONNECT), 52) << "mode " << mode;
  }
}

// A connector that claimed the listener's segment and died before it
// connected, whether its connected flag was already up or not: the
// listener's Connect stops waiting for flags that will never come and
// answers that the peer is dead.
TEST(SharedMemoryLink, ConnectEndsWhenThePeerDiedBeforeConnecting) {
  for (const bool flagUp : {true, false}) {
    const std::string name = UniqueName(flagUp ? "pdf" : "pdc");
    SharedMailbox box;
    // With its flag up: a real connector, killed. Before it: one that ended
    // at once, whose claim is written below as if it had died making it.
    Child peer([&] {
      if (!flagUp) return 0;
      if (!Reaches(box, 1)) return 10;
      World world;
      Link link;
      if (world.Make(link, name, kConnect) != 0) return 11;
      box->stage = 2;
      return Reaches(box, 99, std::chrono::seconds(60)) ? 0 : 12;
    });
    World world;
    Link listener;
    ASSERT_EQ(world.Make(listener, name, kListen), 0);
    const pid_t gone = peer.pid();
    if (flagUp) {
      box->stage = 1;
      ASSERT_TRUE(Reaches(box, 2));
      peer.Kill();
    } else {
      ASSERT_EQ(peer.Wait(), 0);
      SegmentView claim(name, QVConnectorSide);
      ASSERT_TRUE(claim.mappedQ());
      claim.layout().setWriteQueueProcessID(static_cast<uint32_t>(gone));
      claim.layout().setWord(QVSHMWord::connectorMagicInitializer, shmlayout::kConnectorMagic);
    }
    EXPECT_EQ(listener.Connect(), 1) << (flagUp ? "flag up" : "flag not yet up");
  }
}

// What the listener's yield function does on its third call while it waits
// for a connector at the side channel.
struct SideChannelWait {
  bool killPeer;  // else it asks to stop
  Child* peer;
  int calls = 0;
  std::chrono::steady_clock::time_point giveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(20);
};

int OnThirdCall(void* cookie, QVYieldParams*) {
  auto& wait = *static_cast<SideChannelWait*>(cookie);
  if (++wait.calls == 3) {
    if (!wait.killPeer) return 1;
    wait.peer->Kill();
  }
  return std::chrono::steady_clock::now() >= wait.giveUpAt ? 1 : 0;
}

// A connector that is ready (its flags up, as its own Connect sets them) and
// alive but not yet at the side channel is waited for there, the yield
// function asked meanwhile: its request to stop ends the wait with 52, and
// the connector's death ends it with 1, however long the yield function
// would let it wait. One case a process: the connector is forked before
// this process makes a world.
class SharedMemorySideChannelWait : public testing::TestWithParam<bool> {};

TEST_P(SharedMemorySideChannelWait, HearsTheYieldFunctionAndThePeersDeath) {
  const bool killPeer = GetParam();
  const std::string name = UniqueName("scw");
  SharedMailbox box;
  Child peer([&] {
    if (!Reaches(box, 1)) return 10;
    World world;
    Link link;
    if (world.Make(link, name, kConnect) != 0) return 11;
    SegmentView own(name, QVConnectorSide);
    if (!own.mappedQ()) return 12;
    own.layout().setFlag(QVSHMFlag::connectorSyncObjectsReady, 1);
    box->stage = 2;
    return Reaches(box, 99, std::chrono::seconds(60)) ? 0 : 13;
  });
  World world;
  Link listener;
  ASSERT_EQ(world.Make(listener, name, kListen), 0);
  box->stage = 1;
  ASSERT_TRUE(Reaches(box, 2));
  SideChannelWait wait{killPeer, &peer};
  ASSERT_EQ(Call(listener.raw(), QVDEVICE_SET_YIELD_FUNCTION, reinterpret_cast<void*>(&OnThirdCall), &wait), 0);
  // Both flag waits end at once: every call comes from the side channel's.
  EXPECT_EQ(Call(listener.raw(), QVDEVICE_CONNECT), killPeer ? 1 : 52);
  EXPECT_GE(wait.calls, 3);
  SegmentView segment(name);
  ASSERT_TRUE(segment.mappedQ());
  EXPECT_EQ(segment.layout().flag(QVSHMFlag::listenerSyncObjectsReady), 1) << "the flag waits were not passed";
}

INSTANTIATE_TEST_SUITE_P(Endings, SharedMemorySideChannelWait, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& row) {
                           return std::string(row.param ? "TheConnectorIsKilled" : "TheYieldFunctionAsksToStop");
                         });

// The world may go before a device it made: the device still closes without
// reaching into it, and leaves neither record nor segment.
TEST(SharedMemoryLink, ADeviceOutlivingItsWorldClosesCleanly) {
  const std::string name = UniqueName("ow");
  World world;
  Link listener;
  ASSERT_EQ(world.Make(listener, name, kListen), 0);
  ASSERT_TRUE(Exists(SyncDir() + "/qvshm-" + name + ".rec"));
  world.End();
  listener.Close();
  EXPECT_FALSE(Exists(SyncDir() + "/qvshm-" + name + ".rec"));
  EXPECT_FALSE(Exists(ShmPath(name)));
}

TEST(SharedMemoryLink, PrintsEveryFieldInOrder) {
  World world;
  Link listener;
  ASSERT_EQ(world.Make(listener, UniqueName("pr"), kListen), 0);
  std::ostringstream out;
  listener->PrintDevice(out);
  const std::string text = out.str();
  size_t at = 0;
  for (const char* tag :
       {"<QVSharedMemoryDevice>", "<World>", "<deviceParameters>", "<yieldFunction>", "<yieldCookie>",
        "<messageHandler>", "<messageCookie>", "<deviceName>", "<writeQueueLock>", "<readQueueLock>",
        "<urgentMessageWriteLock>", "<urgentMessageReadLock>", "<sideOfConnection>0<", "<deviceIsDead>0<",
        "<deviceDeathType>1<", "<terminateEventWatchCondition>", "<memorySegment>", "<memoryLayout>",
        "<writeQueueSignalCondition>", "<readQueueSignalCondition>", "<writeUrgentMessageCondition>",
        "<readUrgentMessageCondition>", "<writeFreeSpaceAvailableCondition>",
        "<readFreeSpaceAvailableCondition>", "<eventWatchThread>", "<deviceNumber>", "<connectionPoint>",
        "</QVSharedMemoryDevice>"}) {
    const size_t found = text.find(tag, at);
    ASSERT_NE(found, std::string::npos) << tag << " after " << at << " in " << text;
    at = found;
  }
}

}  // namespace
