// The in-process device: which side a mode and name make, the names servers
// draw, bytes through many windows, messages, waiting readers, an end whose
// peer has gone, both ends going at once, and a real link pair on two threads.
#include <gtest/gtest.h>
#include <poll.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "api/qvlink.h"
#include "device/qvdevicebridge.h"
#include "device/qvintraprocessdevice.h"
#include "device/qvintraprocessworld.h"
#include "quorvane.h"
#include "support/qvpattern.h"
#include "tests/support/qvtest.h"

namespace {

using Quorvane::QVDevice;
using Quorvane::QVDeviceParameters;
using Quorvane::QVException;
using Quorvane::QVIntraProcessWorld;
using Quorvane::qvexceptiontype;

constexpr unsigned long kListen = 2;
constexpr unsigned long kConnect = 4;

QVDeviceParameters Parameters(unsigned long mode, const std::string& name, const char* protocol = "IntraProcess") {
  QVDeviceParameters parameters;
  parameters.Mode = mode;
  parameters.Name = Quorvane::ToQVString(name);
  parameters.Protocol = protocol;
  return parameters;
}

std::unique_ptr<QVDevice> Make(QVIntraProcessWorld& world, unsigned long mode, const std::string& name) {
  QVDeviceParameters parameters = Parameters(mode, name);
  return std::unique_ptr<QVDevice>(world.MakeDeviceWithParameters(&parameters));
}

std::string NameOf(QVDevice& device) { return Quorvane::ToStdString(device.Name()); }

bool InTable(const std::string& name) {
  for (const auto& entry : Quorvane::QVIntraProcessTableNames()) {
    if (Quorvane::ToStdString(entry) == name) return true;
  }
  return false;
}

// Writes all of bytes through windows of the given sizes in turn (each cut
// to the window offered); records the window starts of fresh chunks.
void WriteThrough(QVDevice& device, const std::string& bytes, const std::vector<size_t>& sizes,
                  std::vector<const char*>* chunkStarts) {
  size_t done = 0;
  for (size_t turn = 0; done < bytes.size(); ++turn) {
    char* start = nullptr;
    unsigned long room = 0;
    device.WriteWindow(&start, &room);
    ASSERT_GT(room, 0u);
    if (room == Quorvane::QVIntraStream::kChunkSize) chunkStarts->push_back(start);
    const size_t n = std::min({static_cast<size_t>(room), sizes[turn % sizes.size()], bytes.size() - done});
    std::copy_n(bytes.data() + done, n, start);
    device.Write(start, n);
    done += n;
  }
}

TEST(IntraProcessWorld, ModeAndNameChooseTheSide) {
  QVIntraProcessWorld world;
  auto server = Make(world, kListen, "");
  const std::string live = NameOf(*server);
  struct Case {
    const char* title;
    unsigned long mode;
    std::string name;
    const char* protocol;
    long side;  // 1 server, 0 client, -1 refused
    qvexceptiontype refusal;
    long linkError;  // what the open of a link answers for the refusal
  };
  const Case cases[] = {
      {"mode 0 with a name: a server that ignores it", 0, "ignored", "IntraProcess", 1, {}, 0},
      {"mode 0 without a name: a client of no core", 0, "", "IntraProcess", -1, qvexceptiontype::notFound, 41},
      {"connect to an unknown name", kConnect, "nope_ipq", "IntraProcess", -1, qvexceptiontype::notFound, 41},
      {"connect to a live server", kConnect, live, "IntraProcess", 0, {}, 0},
      {"empty protocol is this world's", kConnect, live, "", 0, {}, 0},
      {"Launch", 8, live, "IntraProcess", -1, qvexceptiontype::unsupportedMode, 35},
      {"ParentConnect", 16, live, "IntraProcess", -1, qvexceptiontype::unsupportedMode, 35},
      {"Listen and Connect: a server", kListen | kConnect, "", "IntraProcess", 1, {}, 0},
      {"Connect with Launch: a client", kConnect | 8, live, "IntraProcess", 0, {}, 0},
      {"protocol in other case", kListen, "", "intraprocess", -1, qvexceptiontype::unsupportedProtocol, 34},
      {"protocol with a trailing blank", kListen, "", "IntraProcess ", -1, qvexceptiontype::unsupportedProtocol, 34},
      {"another protocol", kListen, "", "TCPIP", -1, qvexceptiontype::unsupportedProtocol, 34},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    const auto before = Quorvane::QVIntraProcessTableNames();
    QVDeviceParameters parameters = Parameters(c.mode, c.name, c.protocol);
    try {
      std::unique_ptr<QVDevice> device(world.MakeDeviceWithParameters(&parameters));
      ASSERT_NE(c.side, -1);
      EXPECT_EQ(device->Mode(), c.side);
      if (c.side == 0) {
        EXPECT_EQ(NameOf(*device), live);
        EXPECT_TRUE(device->ConnectReady());
      } else {
        EXPECT_NE(NameOf(*device), c.name);
        EXPECT_FALSE(device->ConnectReady());
      }
    } catch (const QVException& e) {
      ASSERT_EQ(c.side, -1) << static_cast<int>(e.getType());
      EXPECT_EQ(e.getType(), c.refusal);
      EXPECT_EQ(Quorvane::bridge::Answer(e.getType(), Quorvane::bridge::kWorldMake, nullptr), c.linkError);
      EXPECT_EQ(Quorvane::QVIntraProcessTableNames(), before);
    }
  }
  EXPECT_FALSE(server->ConnectReady());  // every client above has gone
  auto client = Make(world, kConnect, live);
  EXPECT_TRUE(server->ConnectReady());
}

TEST(IntraProcessWorld, ServerNamesAreSevenLettersOrDigitsAndNeverRepeat) {
  QVIntraProcessWorld world;
  const qvtest::Pattern shape("[A-Za-z0-9]{7}_ipq");
  std::vector<std::unique_ptr<QVDevice>> servers;
  std::set<std::string> names;
  for (int i = 0; i < 300; ++i) {
    servers.push_back(Make(world, kListen, ""));
    const std::string name = NameOf(*servers.back());
    EXPECT_TRUE(shape.Matches(name)) << name;
    EXPECT_EQ(servers.back()->NameSize(), static_cast<long>(name.size()));
    names.insert(name);
  }
  EXPECT_EQ(names.size(), servers.size());
  const std::string first = NameOf(*servers.front());
  servers.clear();
  EXPECT_FALSE(InTable(first));
}

TEST(IntraStream, EachWindowEndAloneIsThatOfTheWholeWindow) {
  Quorvane::QVIntraStream stream;
  constexpr size_t kChunk = Quorvane::QVIntraStream::kChunkSize;
  EXPECT_EQ(stream.getWindowStart(), nullptr);
  EXPECT_EQ(stream.getWindowEnd(), nullptr);
  // The first put window makes the first chunk; asking again makes no other.
  char* start = stream.putWindowStart();
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(stream.putWindowEnd(), start + kChunk);
  EXPECT_EQ(stream.putWindowStart(), start);
  stream.releasePutWindow(start + 10);
  EXPECT_EQ(stream.putWindowStart(), start + 10);
  EXPECT_EQ(stream.putWindowEnd(), start + kChunk);
  EXPECT_EQ(stream.getWindowStart(), start);
  EXPECT_EQ(stream.getWindowEnd(), start + 10);
  stream.releaseGetWindow(start + 4);
  EXPECT_EQ(stream.getWindowStart(), start + 4);
  // A full chunk: the put window is a fresh chunk's, the get window stays in
  // the old one until it is drained.
  stream.releasePutWindow(start + kChunk);
  char* next = stream.putWindowStart();
  const auto at = reinterpret_cast<uintptr_t>(next);
  const auto old = reinterpret_cast<uintptr_t>(start);
  EXPECT_TRUE(at + kChunk <= old || at >= old + kChunk);
  EXPECT_EQ(stream.putWindowEnd(), next + kChunk);
  EXPECT_EQ(stream.getWindowEnd(), start + kChunk);
  stream.releasePutWindow(next + 1);
  stream.releaseGetWindow(start + kChunk);
  EXPECT_EQ(stream.getWindowStart(), next);
  EXPECT_EQ(stream.getWindowEnd(), next + 1);
}

TEST(IntraProcessDevice, BytesThroughManyWindowsComeBackInOrderWithinChunks) {
  QVIntraProcessWorld world;
  auto server = Make(world, kListen, "");
  auto client = Make(world, kConnect, NameOf(*server));
  std::string sent(3 * 5120 * 7 + 13, '\0');
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>((i * 131 + i / 977) & 0xff);
  std::vector<const char*> chunkStarts;
  WriteThrough(*server, sent, {1, 7, 300, 5120, 999, 4096}, &chunkStarts);
  ASSERT_FALSE(chunkStarts.empty());

  std::string received;
  std::vector<size_t> takes = {5000, 3, 100000};
  for (size_t turn = 0; client->HasDataQ(); ++turn) {
    char* start = nullptr;
    unsigned long size = 0;
    client->Read(&start, &size);
    ASSERT_GT(size, 0u);
    const bool insideOneChunk = std::any_of(chunkStarts.begin(), chunkStarts.end(), [&](const char* base) {
      return start >= base && start + size <= base + Quorvane::QVIntraStream::kChunkSize;
    });
    EXPECT_TRUE(insideOneChunk) << "read window of " << size << " bytes at turn " << turn;
    const size_t used = std::min(static_cast<size_t>(size), takes[turn % takes.size()]);
    received.append(start, used);
    client->ReadComplete(start, used);
  }
  EXPECT_EQ(received, sent);
  // Nothing flowed the other way.
  EXPECT_FALSE(server->HasDataQ());
}

struct Heard {
  void* cookie = nullptr;
  int code = -1;
  int argument = -1;
  std::thread::id thread;
};

void Hear(void* cookie, int code, int argument) {
  auto* heard = static_cast<Heard*>(cookie);
  heard->cookie = cookie;
  heard->code = code;
  heard->argument = argument;
  heard->thread = std::this_thread::get_id();
}

TEST(IntraProcessDevice, MessageRunsThePeersHandlerOnTheWritersThreadOrIsDropped) {
  QVIntraProcessWorld world;
  auto server = Make(world, kListen, "");
  auto client = Make(world, kConnect, NameOf(*server));
  Heard heard;
  client->SetMessageHandler(&Hear, &heard);
  std::thread writer([&] { server->WriteMessage(3, 0x1234567890UL); });
  const std::thread::id writerId = writer.get_id();
  writer.join();
  EXPECT_EQ(heard.cookie, &heard);
  EXPECT_EQ(heard.code, 3);
  EXPECT_EQ(heard.argument, 0x34567890);  // cut to 32 bits
  EXPECT_EQ(heard.thread, writerId);
  EXPECT_FALSE(client->HasMessageQ());

  // The server has no handler: the message goes nowhere and nothing is kept.
  client->WriteMessage(1, 2);
  EXPECT_FALSE(server->HasMessageQ());
  unsigned long code = 9, argument = 9;
  server->ReadMessage(&code, &argument);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(argument, 0u);
}

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The scheduler state letter of one thread of this process.
char TaskState(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  return close == std::string::npos || close + 2 >= text.size() ? '?' : text[close + 2];
}

TEST(IntraProcessDevice, BlockedReaderWithoutYieldSleepsAndWakesOnData) {
  QVIntraProcessWorld world;
  auto server = Make(world, kListen, "");
  auto client = Make(world, kConnect, NameOf(*server));
  std::atomic<pid_t> readerTid{0};
  double cpuSeconds = -1;
  std::string got;
  std::thread reader([&] {
    readerTid = gettid();
    const double before = ThreadCpuSeconds();
    char* start = nullptr;
    unsigned long size = 0;
    client->Read(&start, &size);
    cpuSeconds = ThreadCpuSeconds() - before;
    got.assign(start, size);
    client->ReadComplete(start, size);
  });
  // Let the reader be blocked for a while before anything comes.
  const auto since = std::chrono::steady_clock::now();
  ASSERT_TRUE(qvtest::WaitUntil([&] {
    return readerTid != 0 && TaskState(readerTid) == 'S' &&
           std::chrono::steady_clock::now() - since > std::chrono::milliseconds(400);
  }));
  char* start = nullptr;
  unsigned long room = 0;
  server->WriteWindow(&start, &room);
  std::copy_n("wake", 4, start);
  server->Write(start, 4);
  reader.join();
  EXPECT_EQ(got, "wake");
  EXPECT_LT(cpuSeconds, 0.1) << "a spinning reader would have used the whole wait";
}

bool Readable(int fd) {
  pollfd entry{fd, POLLIN, 0};
  return poll(&entry, 1, 0) == 1;
}

// The descriptor a caller may wait on is readable exactly while unread bytes
// wait: through windows read and consumed in parts, and writes that come
// while a window is out.
TEST(IntraProcessDevice, ReadDescriptorIsReadableExactlyWhileBytesWait) {
  QVIntraProcessWorld world;
  auto server = Make(world, kListen, "");
  auto client = Make(world, kConnect, NameOf(*server));
  const int fd = client->GetFD();
  std::vector<const char*> starts;
  char* start = nullptr;
  unsigned long size = 0;
  EXPECT_FALSE(Readable(fd)) << "nothing written yet";

  WriteThrough(*server, "abcdef", {6}, &starts);
  EXPECT_TRUE(Readable(fd));
  client->Read(&start, &size);
  ASSERT_EQ(std::string(start, size), "abcdef");
  EXPECT_TRUE(Readable(fd)) << "a window handed out is not yet consumed";
  client->ReadComplete(start, 2);
  EXPECT_TRUE(Readable(fd)) << "four bytes still wait";
  client->Read(&start, &size);
  ASSERT_EQ(std::string(start, size), "cdef");
  WriteThrough(*server, "gh", {2}, &starts);
  client->ReadComplete(start, size);
  EXPECT_TRUE(Readable(fd)) << "what came while the window was out waits";
  client->Read(&start, &size);
  ASSERT_EQ(std::string(start, size), "gh");
  client->ReadComplete(start, size);
  EXPECT_FALSE(Readable(fd)) << "all consumed";

  // Two writes before any read, then one read of both.
  WriteThrough(*server, "ij", {1}, &starts);
  EXPECT_TRUE(Readable(fd));
  client->Read(&start, &size);
  ASSERT_EQ(std::string(start, size), "ij");
  client->ReadComplete(start, size);
  EXPECT_FALSE(Readable(fd));
  EXPECT_FALSE(client->HasDataQ());
}

TEST(IntraProcessDevice, PeerGoneReaderGetsWhatWasWrittenThenClosedAndWritesAreRefused) {
  QVIntraProcessWorld world;
  auto server = Make(world, kListen, "");
  auto client = Make(world, kConnect, NameOf(*server));
  std::vector<const char*> starts;
  WriteThrough(*server, "last words", {100}, &starts);
  const std::string name = NameOf(*server);
  server.reset();
  EXPECT_TRUE(InTable(name));  // the client still uses the core

  char* start = nullptr;
  long size = 0;
  ASSERT_EQ(Quorvane::QVIntraProcessInterface(client.get(), Quorvane::QVDEVICE_READ, &start, &size), 0);
  EXPECT_EQ(std::string(start, static_cast<size_t>(size)), "last words");
  ASSERT_EQ(Quorvane::QVIntraProcessInterface(client.get(), Quorvane::QVDEVICE_READ_COMPLETE, start, &size), 0);

  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(Quorvane::QVIntraProcessInterface(client.get(), Quorvane::QVDEVICE_READ, &start, &size), 11);
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
  // Nothing written now could ever be read: the write is refused, not kept.
  EXPECT_EQ(Quorvane::QVIntraProcessInterface(client.get(), Quorvane::QVDEVICE_WRITE_WINDOW, &start, &size), 11);
  client.reset();
  EXPECT_FALSE(InTable(name));
}

TEST(IntraProcessDevice, ConnectToAPeerThatWentAnswersInsteadOfWaiting) {
  QVIntraProcessWorld world;
  auto server = Make(world, kListen, "");
  auto client = Make(world, kConnect, NameOf(*server));
  server.reset();
  EXPECT_EQ(Quorvane::QVIntraProcessInterface(client.get(), Quorvane::QVDEVICE_CONNECT, nullptr, nullptr), 1);
}

int BackOut(void*, QVYieldParams*) { return 1; }

TEST(IntraProcessDevice, YieldFunctionBacksOutOfReadAndConnect) {
  QVIntraProcessWorld world;
  auto server = Make(world, kListen, "");
  server->SetYieldFunction(&BackOut, nullptr);
  EXPECT_EQ(Quorvane::QVIntraProcessInterface(server.get(), Quorvane::QVDEVICE_CONNECT, nullptr, nullptr), 52);
  char* start = nullptr;
  long size = 0;
  EXPECT_EQ(Quorvane::QVIntraProcessInterface(server.get(), Quorvane::QVDEVICE_READ, &start, &size), 52);
}

TEST(IntraProcessDevice, BothEndsConnectTalkAndGoAtOnceOnTwoThreads) {
  QVIntraProcessWorld world;
  for (int round = 0; round < 200; ++round) {
    auto server = Make(world, kListen, "");
    const std::string name = NameOf(*server);
    auto client = Make(world, kConnect, name);
    std::atomic<int> ready{0};
    auto side = [&](std::unique_ptr<QVDevice>& device) {
      device->Connect();
      std::vector<const char*> starts;
      WriteThrough(*device, "ping", {4}, &starts);
      ++ready;
      while (ready.load() < 2) std::this_thread::yield();
      device.reset();
    };
    std::thread a(side, std::ref(server));
    std::thread b(side, std::ref(client));
    a.join();
    b.join();
    ASSERT_FALSE(InTable(name)) << "round " << round;
  }
}

TEST(IntraProcessLink, TwoThreadsExchangeExpressionsOverALinkPair) {
  RVEnvironment* environment = RVBegin(nullptr);
  ASSERT_NE(environment, nullptr);
  int error = -1;
  QVLink* server = RVOpenString(environment, "-linkcreate -linkprotocol IntraProcess", &error);
  ASSERT_NE(server, nullptr) << error;
  const std::string name = RVName(server);
  EXPECT_TRUE(qvtest::Pattern("[A-Za-z0-9]{7}_ipq").Matches(name)) << name;
  QVLink* client =
      RVOpenString(environment, ("-linkconnect -linkname " + name + " -linkprotocol IntraProcess").c_str(), &error);
  ASSERT_NE(client, nullptr) << error;

  const std::string longText(40000, 'q');  // spans several chunks
  std::thread serving([&] {
    if (RVConnect(server) == 0) return;
    RVPutFunction(server, "Plus", 2);
    RVPutInteger(server, 41);
    RVPutString(server, longText.c_str());
    RVEndPacket(server);
    RVFlush(server);
    int answer = 0;
    RVGetInteger(server, &answer);
    RVPutInteger(server, answer + 1);
    RVEndPacket(server);
    RVFlush(server);
  });
  ASSERT_EQ(RVConnect(client), 1);
  const char* head = nullptr;
  int count = 0;
  ASSERT_EQ(RVGetFunction(client, &head, &count), 1);
  EXPECT_STREQ(head, "Plus");
  EXPECT_EQ(count, 2);
  RVReleaseSymbol(client, head);
  int value = 0;
  ASSERT_EQ(RVGetInteger(client, &value), 1);
  EXPECT_EQ(value, 41);
  const char* text = nullptr;
  ASSERT_EQ(RVGetString(client, &text), 1);
  EXPECT_EQ(std::string(text), longText);
  RVReleaseString(client, text);
  RVPutInteger(client, 100);
  RVEndPacket(client);
  RVFlush(client);
  ASSERT_EQ(RVGetInteger(client, &value), 1);
  EXPECT_EQ(value, 101);
  serving.join();
  EXPECT_EQ(RVError(client), 0);
  EXPECT_EQ(RVError(server), 0);
  RVClose(server);
  RVClose(client);
  RVEnd(environment);
}

}  // namespace
