// The shared-memory segment format: the bytes a creator writes as another
// program reads them from the system's object, the ring arithmetic against a
// table and against a plain byte queue, and segments refused before use.
#include "device/qvshmlayout.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/qvtest.h"
#include "utilities/platform/qvsharedmemoryname.h"
#include "utilities/qvexception.h"
#include "utilities/qvsharedmemorysegment.h"
#include "utilities/qvsyncobject.h"
#include "utilities/qvthreads.h"
#include "utilities/qvtestprocesses.h"

using namespace Quorvane;

namespace {

constexpr uint32_t B = shmlayout::kBufferLength;

// Segment bytes on the heap, aligned for whole words, with raw access by
// offset that does not go through the layout.
class Image {
 public:
  explicit Image(uint64_t length) : words_((length + 3) / 4, 0), length_(length) {}
  unsigned char* bytes() { return reinterpret_cast<unsigned char*>(words_.data()); }
  uint64_t length() const { return length_; }
  void Put(uint32_t at, uint32_t value) { std::memcpy(bytes() + at, &value, 4); }
  uint32_t Get(uint32_t at) { uint32_t v; std::memcpy(&v, bytes() + at, 4); return v; }

 private:
  std::vector<uint32_t> words_;
  uint64_t length_;
};

QVSHMLayoutHeader HeaderFor(uint32_t bufferLength) {
  QVSHMLayoutHeader header = QVSHMLayoutHeader::standard();
  header.bufferLength = bufferLength;
  header.totalLength = 64 + 2 * (28 + bufferLength);
  return header;
}

template <typename F>
qvexceptiontype TypeThrownBy(F&& f) {
  try {
    f();
  } catch (const QVException& e) {
    return e.getType();
  }
  return static_cast<qvexceptiontype>(0);
}

std::string Printed(const auto& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

// A POSIX object named for this process and test, removed whatever happens.
class SystemSegment {
 public:
  SystemSegment() {
    static std::atomic<int> counter{0};
    name_ = ToQVString("qvshmlayout-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
  }
  ~SystemSegment() { shm_unlink(SystemName().c_str()); }
  const QVString& name() const { return name_; }
  std::string SystemName() const {
    return ToStdString(platform::PosixSharedMemoryName(makeIPCName(name_)));
  }

 private:
  QVString name_;
};

// Runs python3 over the object and returns what it printed.
std::string PythonReads(const std::string& path, const std::string& program) {
  const std::string command = "python3 -c '" + program + "' '" + path + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "popen failed";
  std::string out;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
  pclose(pipe);
  return out;
}

}  // namespace

// Both sides write what they write on a real object; a separate python3
// process maps /dev/shm/<name> and unpacks each field at its offset.
TEST(SHMLayoutFormat, BytesOfBothSidesAsAnotherProgramMapsThem) {
  SystemSegment name;
  QVPosixSharedMemorySegment segment(name.name(), shmlayout::kTotalLength);
  ASSERT_EQ(segment.create(), kSegmentMapped);
  EXPECT_EQ(QVSHMLayout::checkSegment(segment), QVSHMSegmentCheck::wrongConstants);

  QVSHMLayout listener(segment.getBytes(), segment.getLength(), QVListenerSide,
                       QVSHMLayoutHeader::standard());
  EXPECT_EQ(QVSHMLayout::checkSegment(segment), QVSHMSegmentCheck::recognized);
  listener.initializeQueues();
  listener.setWord(QVSHMWord::listenerMagicInitializer, shmlayout::kListenerMagic);
  listener.setWord(QVSHMWord::listenerRevision, shmlayout::kRevision);
  listener.setWriteQueueProcessID(1111);
  listener.setListenerPort(0xFFFF);
  listener.setFlag(QVSHMFlag::listenerConnected, 1);
  listener.setFlag(QVSHMFlag::listenerSyncObjectsReady, 1);
  listener.putMessage(9, 0);
  QVSHMWindow a = listener.writeWindow();
  ASSERT_EQ(a.length, B);
  std::memcpy(a.bytes, "to-connector", 12);
  listener.wroteThisManyBytes(12);

  QVSHMLayout connector(segment.getBytes(), segment.getLength(), QVConnectorSide);
  connector.setWord(QVSHMWord::connectorMagicInitializer, shmlayout::kConnectorMagic);
  connector.setWord(QVSHMWord::connectorRevision, shmlayout::kRevision);
  connector.setWriteQueueProcessID(2222);
  connector.setFlag(QVSHMFlag::connectorConnected, -2);
  connector.setFlag(QVSHMFlag::connectorSyncObjectsReady, 1);
  connector.putMessage(0xFFFFFFFFu, 77);
  QVSHMWindow b = connector.writeWindow();
  std::memcpy(b.bytes, "to-listener!", 12);
  connector.wroteThisManyBytes(12);
  connector.readThisManyBytes(5);
  EXPECT_EQ(connector.listenerPort(), 65535);
  EXPECT_EQ(connector.readMessage(), std::make_pair(9u, 0u));
  EXPECT_EQ(listener.readMessage(), std::make_pair(0xFFFFFFFFu, 77u));

  const std::string program =
      "import mmap,os,struct,sys\n"
      "f=os.open(sys.argv[1],os.O_RDONLY)\n"
      "m=mmap.mmap(f,0,prot=mmap.PROT_READ)\n"
      "u=lambda fmt,at:\" \".join(str(x) for x in struct.unpack_from(fmt,m,at))\n"
      "print(\"size\",os.fstat(f).st_size>=200120)\n"
      "print(\"header\",u(\"<6I\",0))\n"
      "print(\"flags\",u(\"<5h\",28))\n"
      "print(\"words\",u(\"<5I\",40))\n"
      "print(\"port16\",u(\"<H\",48))\n"
      "print(\"queueA\",u(\"<6I\",64))\n"
      "print(\"queueB\",u(\"<6I\",100092))\n"
      "print(\"ringA\",m[92:104].decode())\n"
      "print(\"ringB\",m[100120:100132].decode())\n"
      "print(\"reserved\",m[24:28].hex(),m[38:40].hex(),m[60:64].hex(),m[88:92].hex(),"
      "m[100116:100120].hex())\n";
  const std::string out = PythonReads("/dev/shm" + name.SystemName(), program);
  EXPECT_EQ(out,
            "size True\n"
            "header 4 28 36 200120 100000 28\n"
            "flags 0 1 -2 1 1\n"
            "words 39875 39876 65535 2 2\n"
            "port16 65535\n"
            "queueA 9 0 5 12 99993 1111\n"
            "queueB 4294967295 77 0 12 99988 2222\n"
            "ringA to-connector\n"
            "ringB to-listener!\n"
            "reserved 00000000 0000 00000000 00000000 00000000\n");

  EXPECT_EQ(listener.dataOffset(), 28u);
  EXPECT_EQ(listener.writeQueueHeaderOffset(), 64u);
  EXPECT_EQ(listener.writeBufferOffset(), 92u);
  EXPECT_EQ(listener.readQueueHeaderOffset(), 100092u);
  EXPECT_EQ(listener.readBufferOffset(), 100120u);
  EXPECT_EQ(connector.readBufferOffset(), 92u);
  EXPECT_EQ(connector.writeBufferOffset(), 100120u);
  segment.detachSegmentAndRemoveFromOS();
}

TEST(SHMLayoutFormat, PrintersUseTheFormatsTags) {
  Image image(shmlayout::kTotalLength);
  QVSHMLayout layout(image.bytes(), image.length(), QVListenerSide, QVSHMLayoutHeader::standard());
  layout.initializeQueues();
  layout.setFlag(QVSHMFlag::listenerPending, -1);
  layout.setListenerPort(8080);
  layout.setWord(QVSHMWord::listenerRevision, 2);
  layout.putMessage(9, 3);
  layout.setWriteQueueProcessID(42);

  EXPECT_EQ(Printed(layout.header()),
            "<QVSHMLayoutHeader><layoutVersion>4</layoutVersion>"
            "<layoutHeaderLength>28</layoutHeaderLength><dataLength>36</dataLength>"
            "<totalLength>200120</totalLength><bufferLength>100000</bufferLength>"
            "<queueHeaderLength>28</queueHeaderLength></QVSHMLayoutHeader>");
  EXPECT_EQ(Printed(layout.data()),
            "<QVSHMLayoutData><listenerPending>-1</listenerPending>"
            "<listenerConnected>0</listenerConnected><connectorConnected>0</connectorConnected>"
            "<listenerSyncObjectsReady>0</listenerSyncObjectsReady>"
            "<connectorSyncObjectsReady>0</connectorSyncObjectsReady>"
            "<listenerMagicInitializer>0</listenerMagicInitializer>"
            "<connectorMagicInitializer>0</connectorMagicInitializer>"
            "<listenerPort>8080</listenerPort></QVSHMLayoutData>");
  EXPECT_EQ(Printed(layout.writeQueueHeader()),
            "<QVSHMQueueHeader>\n<message><value>9</value><arg>3</arg></message>"
            "<readOffset>0</readOffset><writeOffset>0</writeOffset>"
            "<freeSpace>100000</freeSpace><processID>42</processID></QVSHMQueueHeader>\n");
}

// ---- ring arithmetic ----

namespace {

struct QueueState {
  uint32_t read, write, free;
  bool operator==(const QueueState&) const = default;
};

std::ostream& operator<<(std::ostream& os, const QueueState& s) {
  return os << '{' << s.read << ',' << s.write << ',' << s.free << '}';
}

enum class Op { none, commit, release };

struct RingCase {
  const char* what;
  QueueState before;
  uint32_t writeWindow, readWindow;  // expected before the operation
  Op op;
  uint32_t n;
  bool refused;
  QueueState after;  // when not refused
};

// Listener writes queue A, connector reads it: both views over one image,
// queue A's header set by raw bytes.
struct QueueA {
  QueueA() : image(shmlayout::kTotalLength) {
    writer = QVSHMLayout(image.bytes(), image.length(), QVListenerSide,
                         QVSHMLayoutHeader::standard());
    writer.initializeQueues();
    reader = QVSHMLayout(image.bytes(), image.length(), QVConnectorSide);
  }
  void Set(const QueueState& s) {
    image.Put(64 + 8, s.read);
    image.Put(64 + 12, s.write);
    image.Put(64 + 16, s.free);
  }
  QueueState Get() { return {image.Get(64 + 8), image.Get(64 + 12), image.Get(64 + 16)}; }

  Image image;
  QVSHMLayout writer, reader;
};

}  // namespace

TEST(SHMLayoutRing, WindowsCommitsAndReleases) {
  const RingCase cases[] = {
      {"new queue", {0, 0, B}, B, 0, Op::none, 0, false, {0, 0, B}},
      {"one window of the whole buffer wraps", {0, 0, B}, B, 0, Op::commit, B, false, {0, 0, 0}},
      {"full queue reads as one window at 0", {0, 0, 0}, 0, B, Op::release, B, false, {0, 0, B}},
      {"partial commit", {0, 0, B}, B, 0, Op::commit, 10, false, {0, 10, B - 10}},
      {"partial release", {0, 10, B - 10}, B - 10, 10, Op::release, 4, false, {4, 10, B - 6}},
      {"tail before wrapped head", {B - 10, 10, B - 20}, B - 20, 10, Op::release, 10, false,
       {0, 10, B - 10}},
      {"commit up to the end wraps the write offset", {50, B - 50, 100}, 50, B - 100, Op::commit,
       50, false, {50, 0, 50}},
      {"write window stops at the read offset", {300, 100, 200}, 200, B - 300, Op::commit, 200,
       false, {300, 300, 0}},
      {"drained full ring at k", {500, 500, B}, B - 500, 0, Op::commit, B - 500, false,
       {500, 0, 500}},
      {"commit of 0 on a full queue does nothing", {7, 7, 0}, 0, B - 7, Op::commit, 0, false,
       {7, 7, 0}},
      {"release of 0 on an empty queue does nothing", {7, 7, B}, B - 7, 0, Op::release, 0, false,
       {7, 7, B}},
      {"commit on a full queue", {7, 7, 0}, 0, B - 7, Op::commit, 1, true, {}},
      {"commit past the write window", {0, 100, B - 100}, B - 100, 100, Op::commit, B - 99, true,
       {}},
      {"commit past a window that ends at the read offset", {300, 100, 200}, 200, B - 300,
       Op::commit, 201, true, {}},
      {"release past the read window", {0, 10, B - 10}, B - 10, 10, Op::release, 11, true, {}},
      {"release on an empty queue", {0, 0, B}, B, 0, Op::release, 1, true, {}},
      {"release past a wrapped window", {B - 10, 10, B - 20}, B - 20, 10, Op::release, 11, true,
       {}},
      {"read offset outside the buffer", {B, 0, B}, 0, 0, Op::release, 1, true, {}},
      {"write offset outside the buffer", {0, B + 5, B}, 0, 0, Op::commit, 1, true, {}},
      {"free space larger than the buffer", {0, 0, B + 1}, 0, 0, Op::commit, 1, true, {}},
      {"free space disagrees with the offsets", {0, 10, B}, 0, 0, Op::commit, 1, true, {}},
      {"full with different offsets", {3, 10, 0}, 0, 0, Op::release, 1, true, {}},
      {"hostile free space far above the window", {0, 10, 0xFFFFFFF0u}, 0, 0, Op::release, 5,
       true, {}},
  };
  for (const RingCase& c : cases) {
    SCOPED_TRACE(c.what);
    QueueA q;
    q.Set(c.before);
    EXPECT_EQ(q.writer.bytesAvailableToWrite(), c.writeWindow);
    EXPECT_EQ(q.reader.bytesAvailableToRead(), c.readWindow);
    EXPECT_EQ(q.writer.writeWindow().length, c.writeWindow);
    EXPECT_EQ(q.reader.readWindow().length, c.readWindow);
    auto run = [&] {
      if (c.op == Op::commit) q.writer.wroteThisManyBytes(c.n);
      if (c.op == Op::release) q.reader.readThisManyBytes(c.n);
    };
    if (c.refused) {
      EXPECT_EQ(TypeThrownBy(run), qvexceptiontype::internalError);
      EXPECT_EQ(q.Get(), c.before) << "a refused call changed the queue";
    } else {
      EXPECT_EQ(TypeThrownBy(run), static_cast<qvexceptiontype>(0));
      EXPECT_EQ(q.Get(), c.after);
    }
  }
}

TEST(SHMLayoutRing, ResetsRegainTheWholeBufferAndKeepTheMessageSlot) {
  QueueA q;
  q.Set({500, 500, B});
  q.writer.putMessage(9, 1);
  q.writer.setWriteQueueProcessID(99);
  EXPECT_EQ(q.writer.bytesAvailableToWrite(), B - 500);
  q.writer.resetWriteQueue();
  EXPECT_EQ(q.Get(), (QueueState{0, 0, B}));
  EXPECT_EQ(q.writer.writeWindow().bytes, q.image.bytes() + 92);
  EXPECT_EQ(q.writer.bytesAvailableToWrite(), B);

  q.Set({20, 30, B - 10});
  q.reader.resetReadQueue();  // the connector's read queue is queue A
  EXPECT_EQ(q.Get(), (QueueState{0, 0, B}));
  EXPECT_EQ(q.reader.readMessage(), std::make_pair(9u, 1u));
  EXPECT_EQ(q.reader.readQueueProcessID(), 99u);
}

// Random commits and releases of random sizes on a small ring, with the
// bytes written, against a plain first-in first-out byte queue.
TEST(SHMLayoutRing, RandomSequenceAgreesWithAPlainQueue) {
  constexpr uint32_t kSmall = 64;
  const QVSHMLayoutHeader header = HeaderFor(kSmall);
  Image image(header.totalLength);
  QVSHMLayout writer(image.bytes(), image.length(), QVConnectorSide, header);
  writer.initializeQueues();
  QVSHMLayout reader(image.bytes(), image.length(), QVListenerSide);
  std::deque<unsigned char> model;
  std::mt19937 random(20261210);
  unsigned char next = 0;
  uint64_t moved = 0;
  for (int step = 0; step < 200000; ++step) {
    const uint32_t room = writer.bytesAvailableToWrite();
    const uint32_t waiting = reader.bytesAvailableToRead();
    ASSERT_EQ(writer.writeQueueHeader().freeSpace, kSmall - model.size());
    ASSERT_EQ(room == 0, model.size() == kSmall) << step;
    ASSERT_EQ(waiting == 0, model.empty()) << step;
    ASSERT_LE(room, kSmall - model.size());
    ASSERT_LE(waiting, model.size());
    const QVSHMWindow in = writer.writeWindow();
    const QVSHMWindow out = reader.readWindow();
    ASSERT_EQ(in.length, room);
    ASSERT_EQ(out.length, waiting);
    if (room > 0) {
      ASSERT_LE(in.bytes + in.length, image.bytes() + writer.writeBufferOffset() + kSmall);
    }
    if (waiting > 0) {
      ASSERT_LE(out.bytes + out.length, image.bytes() + reader.readBufferOffset() + kSmall);
    }
    switch (random() % 5) {
      case 0:
      case 1: {
        const uint32_t n = room == 0 ? 0 : random() % (room + 1);
        for (uint32_t i = 0; i < n; ++i) {
          in.bytes[i] = next;
          model.push_back(next++);
        }
        writer.wroteThisManyBytes(n);
        break;
      }
      case 2:
      case 3: {
        const uint32_t n = waiting == 0 ? 0 : random() % (waiting + 1);
        for (uint32_t i = 0; i < n; ++i) {
          ASSERT_EQ(out.bytes[i], model.front()) << step;
          model.pop_front();
        }
        reader.readThisManyBytes(n);
        moved += n;
        break;
      }
      default: {
        const QVSHMQueueHeader before = writer.writeQueueHeader();
        const bool commit = random() % 2 == 0;
        auto over = [&] {
          if (commit) writer.wroteThisManyBytes(room + 1);
          else reader.readThisManyBytes(waiting + 1);
        };
        ASSERT_EQ(TypeThrownBy(over), qvexceptiontype::internalError);
        const QVSHMQueueHeader after = writer.writeQueueHeader();
        ASSERT_EQ(Printed(after), Printed(before));
        if (model.empty() && random() % 4 == 0) writer.resetWriteQueue();
        break;
      }
    }
  }
  EXPECT_GT(moved, 100000u);  // the ring wrapped many times
}

// Two processes move bytes through queue B of one real segment the way a
// link does: each takes its window under the queue's named lock, copies
// outside it, and commits or releases a random part of it under the lock
// again. Every byte arrives once and in order, across many wraps.
TEST(SHMLayoutRing, TwoProcessesMoveBytesThroughOneSegment) {
  constexpr uint32_t kTotal = 2'000'000;
  auto byteAt = [](uint32_t i) { return static_cast<unsigned char>(i * 131 + (i >> 8)); };
  SystemSegment name;
  const QVString lockName = name.name() + "rdlck";
  QVPosixSharedMemorySegment made(name.name(), shmlayout::kTotalLength);
  ASSERT_EQ(made.create(), kSegmentMapped);
  QVSHMLayout listener(made.getBytes(), made.getLength(), QVListenerSide,
                       QVSHMLayoutHeader::standard());
  listener.initializeQueues();

  const pid_t writer = fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    int status = 0;
    {
      QVPosixSharedMemorySegment attached(name.name(), shmlayout::kTotalLength);
      if (attached.connect() != kSegmentMapped) _exit(10);
      QVSHMLayout connector(attached.getBytes(), attached.getLength(), QVConnectorSide);
      std::unique_ptr<QVMutexHandle> lock(
          QVThreadsFactory().CreateHandle(lockName, QVNamedMutex, false));
      std::mt19937 random(1);
      for (uint32_t sent = 0; sent < kTotal;) {
        QVSHMWindow window;
        const bool room = qvtest::WaitUntil([&] {
          QVMutex held(lock.get());
          window = connector.writeWindow();
          return window.length > 0;
        });
        if (!room) {
          status = 11;
          break;
        }
        const uint32_t n = std::min<uint32_t>(kTotal - sent, 1 + random() % window.length);
        for (uint32_t i = 0; i < n; ++i) window.bytes[i] = byteAt(sent + i);
        QVMutex held(lock.get());
        connector.wroteThisManyBytes(n);
        sent += n;
      }
      attached.detachSegment();
    }
    _exit(status);
  }
  qvtest::ChildKiller killer(writer);

  std::unique_ptr<QVMutexHandle> lock(
      QVThreadsFactory().CreateHandle(lockName, QVNamedMutex, false));
  std::mt19937 random(2);
  uint32_t received = 0, wrong = 0;
  while (received < kTotal) {
    QVSHMWindow window;
    ASSERT_TRUE(qvtest::WaitUntil([&] {
      QVMutex held(lock.get());
      window = listener.readWindow();
      return window.length > 0;
    })) << "after " << received << " bytes";
    const uint32_t n = 1 + random() % window.length;
    for (uint32_t i = 0; i < n; ++i) wrong += window.bytes[i] != byteAt(received + i);
    QVMutex held(lock.get());
    listener.readThisManyBytes(n);
    received += n;
  }
  int status = 0;
  ASSERT_EQ(waitpid(writer, &status, 0), writer);
  killer.release();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(received, kTotal);
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(listener.bytesAvailableToRead(), 0u);
  EXPECT_EQ(listener.readQueueHeader().freeSpace, B);
  made.detachSegmentAndRemoveFromOS();
}

// ---- recognising a segment ----

TEST(SHMLayoutAttach, ForeignSegmentsAreRefusedBeforeUse) {
  struct Case {
    const char* what;
    uint64_t mapped;
    std::map<uint32_t, uint32_t> words;  // raw header words written over a good header
    bool zero;                           // all bytes zero instead
    QVSHMSegmentCheck expected;
  };
  const uint64_t T = shmlayout::kTotalLength;
  const Case cases[] = {
      {"good", T, {}, false, QVSHMSegmentCheck::recognized},
      {"smaller buffers that add up", 64 + 2 * (28 + 64), {{16, 64}, {12, 248}}, false,
       QVSHMSegmentCheck::recognized},
      {"half-made: nothing written yet", T, {}, true, QVSHMSegmentCheck::wrongConstants},
      {"shorter than header and data", 63, {}, false, QVSHMSegmentCheck::tooShort},
      {"mapping one byte short", T - 1, {}, false, QVSHMSegmentCheck::wrongMappedLength},
      {"mapping longer than the segment says", T + 4096, {}, false,
       QVSHMSegmentCheck::wrongMappedLength},
      {"older version", T, {{0, 3}}, false, QVSHMSegmentCheck::wrongConstants},
      {"header length", T, {{4, 32}}, false, QVSHMSegmentCheck::wrongConstants},
      {"data length", T, {{8, 0xFFFFFF00u}}, false, QVSHMSegmentCheck::wrongConstants},
      {"queue header length", T, {{20, 100000}}, false, QVSHMSegmentCheck::wrongConstants},
      {"buffer length 0", T, {{16, 0}}, false, QVSHMSegmentCheck::wrongConstants},
      {"odd buffer length", T, {{16, 99999}}, false, QVSHMSegmentCheck::wrongConstants},
      {"total length larger than the mapping", T, {{12, 0xFFFFFFF0u}}, false,
       QVSHMSegmentCheck::wrongLength},
      {"buffer length that would place queue B past the end", T, {{16, 0x7FFFFFF0u}}, false,
       QVSHMSegmentCheck::wrongLength},
      {"lengths that agree but not with the mapping", T, {{16, 400}, {12, 920}}, false,
       QVSHMSegmentCheck::wrongMappedLength},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Image image(T + 4096);
    if (!c.zero) {
      QVSHMLayout(image.bytes(), T, QVListenerSide, QVSHMLayoutHeader::standard());
      for (const auto& [at, value] : c.words) image.Put(at, value);
    }
    EXPECT_EQ(QVSHMLayout::checkSegment(image.bytes(), c.mapped), c.expected);
    if (c.expected == QVSHMSegmentCheck::wrongMappedLength) {
      // What a side needs to map it again with the length it says it has.
      const QVSHMLayoutHeader told = QVSHMLayout::peekHeader(image.bytes(), c.mapped);
      EXPECT_EQ(QVSHMLayout::checkSegment(image.bytes(), told.totalLength),
                QVSHMSegmentCheck::recognized);
    }
    const qvexceptiontype thrown = TypeThrownBy(
        [&] { QVSHMLayout(image.bytes(), c.mapped, QVConnectorSide); });
    EXPECT_EQ(thrown, c.expected == QVSHMSegmentCheck::recognized
                          ? static_cast<qvexceptiontype>(0)
                          : qvexceptiontype::nameInUse);
  }
  EXPECT_EQ(QVSHMLayout::checkSegment(nullptr, T), QVSHMSegmentCheck::noSegment);
  EXPECT_EQ(QVSHMLayout::peekHeader(nullptr, T), QVSHMLayoutHeader());
  Image image(T + 8);
  EXPECT_EQ(QVSHMLayout::checkSegment(image.bytes() + 2, T), QVSHMSegmentCheck::noSegment);
}

TEST(SHMLayoutAttach, CreatorsHeaderMustDescribeTheMapping) {
  Image image(shmlayout::kTotalLength);
  QVSHMLayoutHeader header = QVSHMLayoutHeader::standard();
  header.totalLength += 4;
  EXPECT_EQ(TypeThrownBy([&] {
              QVSHMLayout(image.bytes(), image.length(), QVListenerSide, header);
            }),
            qvexceptiontype::internalError);
  EXPECT_EQ(image.Get(0), 0u) << "nothing written for a refused header";
  EXPECT_EQ(TypeThrownBy([&] {
              QVSHMLayout(image.bytes(), 100, QVListenerSide, QVSHMLayoutHeader::standard());
            }),
            qvexceptiontype::internalError);
  // The six fields exactly, in order, and nothing of the reserved word.
  image.Put(24, 0xABABABABu);
  QVSHMLayout first(image.bytes(), image.length(), QVListenerSide, QVSHMLayoutHeader::standard());
  EXPECT_EQ(image.Get(24), 0xABABABABu);
  QVSHMLayoutHeader inPlace;
  std::memcpy(&inPlace, image.bytes(), sizeof inPlace);
  EXPECT_EQ(inPlace, QVSHMLayoutHeader::standard());
}

// The object behind a mapping is asked for its size: one cut short after it
// was mapped is refused without a byte of it being touched.
TEST(SHMLayoutAttach, ObjectCutShortUnderTheMappingIsRefused) {
  SystemSegment name;
  QVPosixSharedMemorySegment made(name.name(), shmlayout::kTotalLength);
  ASSERT_EQ(made.create(), kSegmentMapped);
  QVSHMLayout(made.getBytes(), made.getLength(), QVListenerSide, QVSHMLayoutHeader::standard());

  QVPosixSharedMemorySegment attached(name.name(), shmlayout::kTotalLength);
  ASSERT_EQ(attached.connect(), kSegmentMapped);
  EXPECT_EQ(QVSHMLayout::checkSegment(attached), QVSHMSegmentCheck::recognized);
  ASSERT_EQ(ftruncate(attached.getHandle(), 4096), 0);
  EXPECT_EQ(QVSHMLayout::checkSegment(attached), QVSHMSegmentCheck::objectTooSmall);

  QVSharedMemorySegment unmapped(name.name(), shmlayout::kTotalLength);
  EXPECT_EQ(QVSHMLayout::checkSegment(unmapped), QVSHMSegmentCheck::noSegment);
  attached.detachSegment();
  made.detachSegmentAndRemoveFromOS();
}

TEST(SHMLayoutAttach, EmptyViewHasNoWindows) {
  QVSHMLayout empty;
  EXPECT_TRUE(empty.emptyQ());
  EXPECT_EQ(empty.bytesAvailableToWrite(), 0u);
  EXPECT_EQ(empty.readWindow().bytes, nullptr);
  EXPECT_EQ(TypeThrownBy([&] { empty.wroteThisManyBytes(1); }), qvexceptiontype::internalError);
  EXPECT_EQ(Printed(empty), "<QVSHMLayout></QVSHMLayout>");
}
