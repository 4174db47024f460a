// Drives byte queues with random operation sequences beside a plain model: a
// std::deque of bytes per family of siblings, an offset per sibling and per
// mark. Every result is predicted from the model before the real call, fill
// results are planned by the model and served to the real fill callback in the
// same order (so an extra or missing fill call shows), and after each step
// the chunk list is checked against the model: references, eager freeing,
// live blocks and buffers, and (every few steps) the bytes themselves.
// Used by the model test and by the fuzz target (which draws from its input).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "datastructures/qvqueue.h"

namespace qvqueue_model {

// A counting allocator hook with one-shot failure injection.
struct Heap {
  static inline std::unordered_set<void*> live;
  static inline int fail_in = -1;  // 0: the next allocation fails
  static inline std::string error;
  static void* Alloc(uint64_t n) {
    if (fail_in == 0) {
      fail_in = -1;
      return nullptr;
    }
    if (fail_in > 0) --fail_in;
    void* p = std::malloc(n != 0 ? n : 1);
    live.insert(p);
    return p;
  }
  static void Free(void* p) {
    if (live.erase(p) == 0) {
      if (error.empty()) error = "free of a block that is not live";
      return;
    }
    std::free(p);
  }
};

struct Config {
  uint64_t chunk_size = 16;  // for the default callbacks; the largest size otherwise
  bool custom_callbacks = false;
  bool with_fill = true;
  int content_check_every = 8;
};

class Driver {
 public:
  using Source = std::function<uint64_t(uint64_t)>;  // a number below the bound

  Driver(Source next, Config config) : next_(std::move(next)), config_(config) {
    current_ = this;
    Heap::error.clear();
  }
  ~Driver() {
    Finish();
    if (current_ == this) current_ = nullptr;
  }

  const std::string& error() const { return error_; }
  int64_t steps() const { return steps_; }

  // Runs up to n steps; false at the first disagreement (see error()).
  bool Run(int64_t n, const std::function<bool()>& exhausted = nullptr) {
    for (int64_t i = 0; i < n && error_.empty(); ++i) {
      if (exhausted && exhausted()) break;
      Step();
      ++steps_;
      if (error_.empty()) CheckAll(config_.content_check_every > 0 &&
                                   steps_ % config_.content_check_every == 0);
    }
    return error_.empty();
  }

  // Ends every mark and queue; then every block and buffer must be back.
  bool Finish() {
    if (finished_) return error_.empty();
    finished_ = true;
    for (auto& m : marks_) {
      if (qvqueue_discardmark(m->mark) != 1) Fail("discard at the end");
    }
    marks_.clear();
    for (auto& s : sibs_) {
      if (qvqueue_destroy(s->q) != 1) Fail("destroy at the end");
    }
    sibs_.clear();
    families_.clear();
    if (!Heap::live.empty()) Fail("blocks left after every queue ended: " + std::to_string(Heap::live.size()));
    if (!buffers_.empty()) Fail("buffers never handed back: " + std::to_string(buffers_.size()));
    if (!Heap::error.empty()) Fail(Heap::error);
    return error_.empty();
  }

 private:
  struct Family {
    std::deque<unsigned char> bytes;
  };
  struct Sib {
    _queue* q = nullptr;
    std::shared_ptr<Family> family;
    int64_t off = 0;
    bool fill_on = false;
    bool borrow_on = true;
    std::unique_ptr<_queue> storage;  // for a queue made in caller memory
  };
  struct MarkRec {
    _mark* mark = nullptr;
    _queue* owner = nullptr;
    int64_t off = 0;
    std::unique_ptr<_mark> storage;
  };
  enum class FillKind { kData, kZeroBuffer, kZeroNone, kNegative, kNegativeBuffer, kBogus };
  struct FillStep {
    FillKind kind;
    std::vector<unsigned char> data;
    _queue* queue;
  };
  enum class ChunkFault { kNone, kRecord, kBuffer, kRefuse, kEmptyBuffer };

  // --- callbacks -------------------------------------------------------------
  static inline Driver* current_ = nullptr;

  static int64_t NewBufferCb(_queue* q, unsigned char** start, void** cookie) {
    return current_->NewBuffer(q, start, cookie);
  }
  static void ReturnBufferCb(_chunk* c, unsigned char* start, void* cookie) {
    current_->ReturnBuffer(c, start, cookie);
  }
  static int64_t FillCb(_queue* q, unsigned char** start, void** cookie) {
    return current_->Fill(q, start, cookie);
  }

  unsigned char* HandOut(int64_t size) {
    auto* p = static_cast<unsigned char*>(Heap::Alloc(static_cast<uint64_t>(size)));
    if (p != nullptr && config_.custom_callbacks) buffers_[p] = ++cookie_counter_;
    return p;
  }

  int64_t NewBuffer(_queue* q, unsigned char** start, void** cookie) {
    const ChunkFault fault = fault_;
    fault_ = ChunkFault::kNone;
    if (fault == ChunkFault::kRefuse) return -2;
    const int64_t size = fault == ChunkFault::kEmptyBuffer
                             ? 0
                             : 1 + static_cast<int64_t>(next_(config_.chunk_size));
    unsigned char* p = HandOut(size);
    if (p == nullptr) return -2;
    *start = p;
    *cookie = reinterpret_cast<void*>(buffers_[p]);
    return size;
  }

  void ReturnBuffer(_chunk* c, unsigned char* start, void* cookie) {
    auto it = buffers_.find(start);
    if (it == buffers_.end()) {
      Fail("a buffer handed back twice or never handed out");
      return;
    }
    if (reinterpret_cast<void*>(it->second) != cookie) Fail("buffer handed back with another cookie");
    if (c == nullptr) Fail("buffer handed back without its chunk");
    buffers_.erase(it);
    Heap::Free(start);
  }

  int64_t Fill(_queue* q, unsigned char** start, void** cookie) {
    if (plan_.empty()) {
      Fail("fill called when the model did not expect it");
      return 0;
    }
    FillStep step = std::move(plan_.front());
    plan_.pop_front();
    if (step.queue != q) Fail("fill called for another queue");
    switch (step.kind) {
      case FillKind::kData: {
        unsigned char* p = HandOut(static_cast<int64_t>(step.data.size()));
        std::memcpy(p, step.data.data(), step.data.size());
        *start = p;
        *cookie = config_.custom_callbacks ? reinterpret_cast<void*>(buffers_[p]) : nullptr;
        return static_cast<int64_t>(step.data.size());
      }
      case FillKind::kZeroBuffer:
      case FillKind::kNegativeBuffer: {
        unsigned char* p = HandOut(8);
        *start = p;
        *cookie = config_.custom_callbacks ? reinterpret_cast<void*>(buffers_[p]) : nullptr;
        return step.kind == FillKind::kZeroBuffer ? 0 : -1;
      }
      case FillKind::kZeroNone:
        return 0;
      case FillKind::kNegative:
        return -7;
      case FillKind::kBogus:
        return 12;  // claims data, gives no buffer
    }
    return 0;
  }

  // --- helpers ---------------------------------------------------------------
  void Fail(const std::string& what) {
    if (error_.empty()) error_ = "step " + std::to_string(steps_) + " (" + op_ + "): " + what;
  }
  template <class A, class B>
  void Expect(const A& got, const B& want, const char* what) {
    if (!(got == want)) {
      Fail(std::string(what) + ": got " + std::to_string(static_cast<long long>(got)) + ", want " +
           std::to_string(static_cast<long long>(want)));
    }
  }
  uint64_t R(uint64_t bound) { return bound == 0 ? 0 : next_(bound); }
  bool Chance(int percent) { return static_cast<int>(R(100)) < percent; }

  int64_t Total(const Sib& s) const { return static_cast<int64_t>(s.family->bytes.size()); }

  Sib* FindSib(_queue* q) {
    for (auto& s : sibs_) {
      if (s->q == q) return s.get();
    }
    return nullptr;
  }
  Sib& PickSib() {
    if (sibs_.empty()) NewFamily();
    return *sibs_[R(sibs_.size())];
  }
  std::vector<unsigned char> RandomBytes(int64_t n) {
    std::vector<unsigned char> v(static_cast<size_t>(n));
    for (auto& b : v) b = static_cast<unsigned char>(R(256));
    return v;
  }
  // Never null, even for no bytes: a null pointer is an argument error.
  static const unsigned char* Ptr(const std::vector<unsigned char>& v) {
    static const unsigned char none = 0;
    return v.empty() ? &none : v.data();
  }
  int64_t RandomLength() {
    const uint64_t c = config_.chunk_size;
    switch (R(4)) {
      case 0: return static_cast<int64_t>(R(4));
      case 1: return static_cast<int64_t>(R(c + 2));
      case 2: return static_cast<int64_t>(R(3 * c + 3));
      default: return static_cast<int64_t>(R(40));
    }
  }

  _callback Callbacks() const {
    _callback cb{};
    if (config_.custom_callbacks) {
      cb.new_buffer = NewBufferCb;
      cb.return_buffer = ReturnBufferCb;
    }
    cb.fill = config_.with_fill ? FillCb : nullptr;
    return cb;
  }

  void NewFamily() {
    auto sib = std::make_unique<Sib>();
    sib->family = std::make_shared<Family>();
    const _callback cb = Callbacks();
    const uint64_t chunk = config_.custom_callbacks ? 0 : config_.chunk_size;
    if (Chance(25)) {
      sib->storage = std::make_unique<_queue>();
      _queue_memstruct ms{Heap::Alloc, Heap::Free};
      if (qvqueue_construct(&ms, sib->storage.get(), &cb, chunk, nullptr) != -3) {
        Fail("construct");
        return;
      }
      sib->q = sib->storage.get();
      // Made in caller memory, a queue keeps its fill only with both buffer callbacks.
      sib->fill_on = config_.with_fill && config_.custom_callbacks;
    } else {
      int err = -1;
      sib->q = qvqueue_new_with_allocators(Heap::Alloc, Heap::Free, &cb, chunk, nullptr, &err);
      if (sib->q == nullptr || err != 0) {
        Fail("new");
        return;
      }
      sib->fill_on = config_.with_fill;
    }
    // Some families run with the serial counter about to saturate, so that
    // order is found by walking the list.
    if (Chance(30)) sib->q->shared->serial_counter = UINT64_MAX - R(4);
    sibs_.push_back(std::move(sib));
  }

  // Model read of one byte, planning the fills the real reader will ask for.
  int ModelRead(Sib& s, bool consume) {
    for (;;) {
      if (s.off < Total(s)) {
        const int b = s.family->bytes[static_cast<size_t>(s.off)];
        if (consume) ++s.off;
        return b;
      }
      if (!PlanFill(s)) return -1;
    }
  }
  // One planned fill; true when it brought bytes.
  bool PlanFill(Sib& s) {
    if (!s.fill_on) return false;
    FillStep step{FillKind::kData, {}, s.q};
    const uint64_t r = R(100);
    if (r < 70) {
      step.data = RandomBytes(1 + static_cast<int64_t>(R(2 * config_.chunk_size + 2)));
    } else if (r < 78) {
      step.kind = FillKind::kZeroBuffer;
    } else if (r < 88) {
      step.kind = FillKind::kZeroNone;
    } else if (r < 93) {
      step.kind = FillKind::kBogus;
    } else if (r < 97) {
      step.kind = FillKind::kNegative;
    } else {
      step.kind = FillKind::kNegativeBuffer;
    }
    const FillKind kind = step.kind;
    if (kind == FillKind::kData) {
      s.family->bytes.insert(s.family->bytes.end(), step.data.begin(), step.data.end());
    }
    plan_.push_back(std::move(step));
    if (kind == FillKind::kNegative || kind == FillKind::kNegativeBuffer) s.fill_on = false;
    return kind == FillKind::kData;
  }
  void ExpectPlanUsed() {
    if (!plan_.empty()) Fail("the model expected a fill that never came");
    plan_.clear();
  }

  // Room left in the last chunk: what a write can take before it needs a chunk.
  static int64_t Room(const _queue* q) {
    const _queue_shared* s = q->shared;
    return s->last_chunk == nullptr ? 0 : s->write_end - s->write_pointer;
  }
  void ArmFault() {
    if (!Chance(6)) return;
    switch (R(4)) {
      case 0: Heap::fail_in = 0; break;  // the chunk record
      case 1: Heap::fail_in = 1; break;  // the default buffer (custom: the buffer too)
      case 2: fault_ = config_.custom_callbacks ? ChunkFault::kRefuse : ChunkFault::kNone; break;
      default: fault_ = config_.custom_callbacks ? ChunkFault::kEmptyBuffer : ChunkFault::kNone; break;
    }
    armed_ = Heap::fail_in >= 0 || fault_ != ChunkFault::kNone;
  }
  void Disarm() {
    Heap::fail_in = -1;
    fault_ = ChunkFault::kNone;
    armed_ = false;
  }
  // Bytes a write of n will place, given the armed fault.
  int64_t WillWrite(const _queue* q, int64_t n) const {
    if (!armed_) return n;
    return std::min(n, Room(q));
  }

  MarkRec* PickMark(_queue* owner = nullptr) {
    std::vector<MarkRec*> c;
    for (auto& m : marks_) {
      if (owner == nullptr || m->owner == owner) c.push_back(m.get());
    }
    return c.empty() ? nullptr : c[R(c.size())];
  }
  void RemoveMark(MarkRec* m) {
    for (size_t i = 0; i < marks_.size(); ++i) {
      if (marks_[i].get() == m) {
        marks_.erase(marks_.begin() + static_cast<long>(i));
        return;
      }
    }
  }
  int MarksOf(_queue* q) const {
    int n = 0;
    for (auto& m : marks_) n += m->owner == q ? 1 : 0;
    return n;
  }
  void RemoveSib(_queue* q) {
    for (size_t i = 0; i < sibs_.size(); ++i) {
      if (sibs_[i]->q == q) {
        sibs_.erase(sibs_.begin() + static_cast<long>(i));
        return;
      }
    }
  }

  // --- one random step -------------------------------------------------------
  void Step() {
    if (sibs_.empty() || (sibs_.size() < 2 && Chance(2))) NewFamily();
    if (!error_.empty() || sibs_.empty()) return;
    if (last_chunks_ > kChunkPressure) {
      Relieve();
      return;
    }
    const uint64_t op = R(34);
    Sib& s = PickSib();
    _queue* q = s.q;
    switch (op) {
      case 0:
      case 1:
      case 2: {
        op_ = "putn";
        const int64_t n = RandomLength();
        auto data = RandomBytes(n);
        ArmFault();
        const int64_t will = WillWrite(q, n);
        const int64_t got = qvqueue_putn(q, Ptr(data), n);
        Disarm();
        Expect(got, will == n ? n : -2, "putn result");
        s.family->bytes.insert(s.family->bytes.end(), data.begin(), data.begin() + will);
        break;
      }
      case 3: {
        op_ = "putv";
        const int64_t size = static_cast<int64_t>(R(5));
        const int64_t count = static_cast<int64_t>(R(12));
        auto data = RandomBytes(size * count);
        ArmFault();
        const int64_t will = WillWrite(q, size * count);
        const int64_t got = qvqueue_putv(q, Ptr(data), size, count);
        Disarm();
        Expect(got, will == size * count ? count : -2, "putv result");
        s.family->bytes.insert(s.family->bytes.end(), data.begin(), data.begin() + will);
        break;
      }
      case 4:
      case 5: {
        op_ = "putc";
        const int b = static_cast<int>(R(256));
        ArmFault();
        const int64_t will = WillWrite(q, 1);
        const int got = qvqueue_putc(q, b);
        Disarm();
        Expect(got, will == 1 ? b : -2, "putc result");
        if (will == 1) s.family->bytes.push_back(static_cast<unsigned char>(b));
        break;
      }
      case 6: {
        op_ = "window";
        ArmFault();
        const bool needs_chunk = Room(q) == 0;
        const bool fails = armed_ && needs_chunk;
        unsigned char* p = qvqueue_putstart(q);
        Disarm();
        if (fails) {
          Expect(p == nullptr, true, "putstart fails without a chunk");
          break;
        }
        unsigned char* e = qvqueue_putend(q);
        if (p == nullptr || e == nullptr || e <= p) {
          Fail("putstart/putend give no room");
          break;
        }
        const int64_t k = static_cast<int64_t>(R(static_cast<uint64_t>(e - p) + 1));
        auto data = RandomBytes(k);
        if (k > 0) std::memcpy(p, data.data(), static_cast<size_t>(k));
        if (p > q->shared->last_chunk->buffer_start && Chance(10)) {
          Expect(qvqueue_putstop(q, p - 1) == nullptr, true, "putstop moving back");
        }
        Expect(qvqueue_putstop(q, p + k) == p + k, true, "putstop result");
        s.family->bytes.insert(s.family->bytes.end(), data.begin(), data.end());
        break;
      }
      case 7: {
        op_ = "add_chunk";
        Expect(qvqueue_add_chunk(q), 1, "add_chunk");
        break;
      }
      case 8:
      case 9:
      case 10: {
        op_ = "getc";
        const int want = ModelRead(s, true);
        const int got = qvqueue_getc(q);
        Expect(got, want, "getc");
        ExpectPlanUsed();
        break;
      }
      case 11: {
        op_ = "peekc";
        const int want = ModelRead(s, false);
        Expect(qvqueue_peekc(q), want, "peekc");
        ExpectPlanUsed();
        break;
      }
      case 12:
      case 13: {
        op_ = "getn";
        const int64_t n = RandomLength();
        std::vector<unsigned char> want;
        while (static_cast<int64_t>(want.size()) < n) {
          if (s.off < Total(s)) {
            want.push_back(s.family->bytes[static_cast<size_t>(s.off++)]);
          } else if (!PlanFill(s)) {
            break;
          }
        }
        std::vector<unsigned char> got(static_cast<size_t>(n) + 1);
        const int64_t r = qvqueue_getn(q, got.data(), n);
        const int64_t wr = n == 0 ? 0 : (want.empty() ? -1 : static_cast<int64_t>(want.size()));
        Expect(r, wr, "getn result");
        if (r > 0 && std::memcmp(got.data(), want.data(), static_cast<size_t>(r)) != 0) {
          Fail("getn bytes differ");
        }
        ExpectPlanUsed();
        break;
      }
      case 14: {
        op_ = "ungetc";
        const bool can = q->read_pointer != nullptr && q->current_chunk != nullptr &&
                         q->read_pointer != q->current_chunk->buffer_start;
        const int b = static_cast<int>(R(256));
        const int got = qvqueue_ungetc(q, b);
        if (!can) {
          Expect(got, -1, "ungetc at a chunk start");
          break;
        }
        Expect(got, b, "ungetc");
        if (s.off == 0) {
          Fail("ungetc succeeded before the first byte");
          break;
        }
        s.family->bytes[static_cast<size_t>(--s.off)] = static_cast<unsigned char>(b);
        break;
      }
      case 15: {
        op_ = "ungetn";
        const int64_t n = static_cast<int64_t>(R(5));
        auto data = RandomBytes(n);
        const bool can = q->read_pointer != nullptr && q->current_chunk != nullptr &&
                         q->read_pointer != q->current_chunk->buffer_start;
        const int64_t before = can ? q->read_pointer - q->current_chunk->buffer_start : 0;
        const int64_t got = qvqueue_ungetn(q, Ptr(data), n);
        if (!can) {
          Expect(got, -1, "ungetn at a chunk start");
        } else if (before < n) {
          Expect(got, -2, "ungetn with too few bytes before");
        } else {
          Expect(got, n, "ungetn");
          if (s.off < n) {
            Fail("ungetn before the first byte");
            break;
          }
          s.off -= n;
          for (int64_t i = 0; i < n; ++i) {
            s.family->bytes[static_cast<size_t>(s.off + i)] = data[static_cast<size_t>(i)];
          }
        }
        break;
      }
      case 16:
      case 17: {
        op_ = "savemark";
        if (marks_.size() >= 12) break;
        auto m = std::make_unique<MarkRec>();
        m->owner = q;
        const uint64_t how = R(3);
        if (how == 0) {
          m->mark = qvqueue_savemark(q);
          m->off = s.off;
        } else if (how == 1) {
          m->storage = std::make_unique<_mark>();
          m->mark = qvqueue_construct_and_savemark(q, m->storage.get());
          m->off = s.off;
        } else {
          op_ = "savemark_from_offset";
          const int64_t k = static_cast<int64_t>(R(static_cast<uint64_t>(Total(s) - s.off) + 3));
          m->mark = qvqueue_savemark_from_offset(q, k);
          m->off = s.off + k;
          if (s.off + k > Total(s)) {
            Expect(m->mark == nullptr, true, "mark beyond the end");
            break;
          }
        }
        if (m->mark == nullptr) {
          Fail("no mark");
          break;
        }
        marks_.push_back(std::move(m));
        break;
      }
      case 18: {
        op_ = "seek";
        MarkRec* m = PickMark();
        if (m == nullptr) break;
        Expect(qvqueue_seek(m->mark), 1, "seek");
        FindSib(m->owner)->off = m->off;
        break;
      }
      case 19: {
        op_ = "seek_to_offset";
        MarkRec* m = PickMark();
        if (m == nullptr) break;
        Sib* o = FindSib(m->owner);
        const int64_t k = static_cast<int64_t>(R(static_cast<uint64_t>(Total(*o) - m->off) + 3));
        const int ok = m->off + k <= Total(*o) ? 1 : 0;
        Expect(qvqueue_seek_to_offset(m->mark, k), ok, "seek_to_offset");
        if (ok) o->off = m->off + k;
        break;
      }
      case 20:
      case 21: {
        op_ = "discardmark";
        MarkRec* m = PickMark();
        if (m == nullptr) break;
        Expect(qvqueue_discardmark(m->mark), 1, "discardmark");
        RemoveMark(m);
        break;
      }
      case 22: {
        op_ = "compare";
        MarkRec* a = PickMark();
        MarkRec* b = a != nullptr && Chance(80) ? PickMark(a->owner) : PickMark();
        if (a == nullptr || b == nullptr) break;
        const int want = a->owner != b->owner ? -2 : (a->off < b->off ? -1 : (a->off == b->off ? 0 : 1));
        Expect(qvqueue_compare_marks(a->mark, b->mark), want, "compare_marks");
        op_ = "amount_between";
        const int64_t between = a->owner != b->owner || a->off < b->off ? -1 : a->off - b->off;
        Expect(qvqueue_amount_between_marks(a->mark, b->mark), between, "amount_between_marks");
        break;
      }
      case 23: {
        op_ = "mark_is_on_next_byte";
        MarkRec* m = PickMark();
        if (m == nullptr) break;
        Expect(qvqueue_mark_is_on_next_byte(m->mark), m->off == FindSib(m->owner)->off ? 1 : 0,
               "mark_is_on_next_byte");
        Expect(qvqueue_outstanding_marks(m->owner), MarksOf(m->owner), "outstanding marks");
        break;
      }
      case 24: {
        op_ = "amount";
        Expect(qvqueue_isempty(q), s.off == Total(s) ? 1 : 0, "isempty");
        Expect(qvqueue_amount_left_in_queue(q), Total(s) - s.off, "amount_left_in_queue");
        break;
      }
      case 25: {
        op_ = "fork";
        if (sibs_.size() >= 6) break;
        auto f = std::make_unique<Sib>();
        int err = -1;
        f->q = qvqueue_newfork(q, nullptr, &err);
        if (f->q == nullptr || err != 0) {
          Fail("fork");
          break;
        }
        f->family = s.family;
        f->off = s.off;
        f->fill_on = s.fill_on;
        f->borrow_on = s.borrow_on;
        sibs_.push_back(std::move(f));
        break;
      }
      case 26: {
        op_ = "destroy";
        if (!Chance(40)) break;
        const int want = MarksOf(q) > 0 ? 0 : 1;
        Expect(qvqueue_destroy(q), want, "destroy");
        if (want == 1) RemoveSib(q);
        break;
      }
      case 27: {
        op_ = "transfer";
        MarkRec* m = PickMark(q);
        if (m == nullptr) break;
        Sib& d = PickSib();
        // A source never positioned (no chunk yet, or chunks but no read
        // pointer) has no read position to move from.
        const int want = m->off >= s.off && q->read_pointer != nullptr ? 1 : 0;
        std::vector<unsigned char> moved;
        if (want) {
          moved.assign(s.family->bytes.begin() + s.off, s.family->bytes.begin() + m->off);
        }
        Expect(qvqueue_transfer(d.q, q, m->mark), want, "transfer");
        ExpectPlanUsed();
        if (want) {
          s.off = m->off;
          d.family->bytes.insert(d.family->bytes.end(), moved.begin(), moved.end());
        }
        break;
      }
      case 28: {
        op_ = "borrow";
        if (Chance(10)) {
          s.borrow_on = !s.borrow_on;
          if (s.borrow_on) {
            qvqueue_enable_borrow(q);
          } else {
            qvqueue_disable_borrow(q);
          }
        }
        unsigned char* b = nullptr;
        unsigned char* e = nullptr;
        qvqueue_borrow_some(q, &b, &e);
        if (!s.borrow_on) {
          Expect(b == nullptr && e == nullptr, true, "borrow while disabled");
          break;
        }
        Expect(qvqueue_borrowed(q), b != nullptr ? 1 : 0, "borrowed flag");
        if (b == nullptr) break;
        const int64_t len = e - b;
        if (len < 0 || len > Total(s) - s.off) {
          Fail("borrowed window beyond the written bytes");
          break;
        }
        for (int64_t i = 0; i < len; ++i) {
          if (b[i] != s.family->bytes[static_cast<size_t>(s.off + i)]) {
            Fail("borrowed bytes differ");
            break;
          }
        }
        const int64_t k = static_cast<int64_t>(R(static_cast<uint64_t>(len) + 1));
        qvqueue_return_rest(q, b + k);
        Expect(qvqueue_borrowed(q), 0, "borrowed after return");
        s.off += k;
        break;
      }
      case 29: {
        op_ = "seektoend";
        if (!Chance(30)) break;
        Expect(qvqueue_seektoend(q), 1, "seektoend");
        s.off = Total(s);
        break;
      }
      case 30: {
        op_ = "get_byte_from_offset";
        const int64_t k = static_cast<int64_t>(R(static_cast<uint64_t>(Total(s) - s.off) + 2));
        unsigned char* p = qvqueue_get_byte_from_offset(q, k);
        if (s.off + k < Total(s)) {
          if (p == nullptr || *p != s.family->bytes[static_cast<size_t>(s.off + k)]) {
            Fail("get_byte_from_offset byte");
          }
        } else {
          Expect(p == q->read_pointer, true, "get_byte_from_offset out of reach");
        }
        break;
      }
      case 31: {
        op_ = "clear";
        if (!Chance(10)) break;
        if (MarksOf(q) > 0) {
          Expect(qvqueue_clear(q) == nullptr, true, "clear with marks");
          break;
        }
        _queue* fresh = qvqueue_clear(q);
        if (fresh == nullptr) {
          Fail("clear");
          break;
        }
        auto f = std::make_unique<Sib>();
        f->q = fresh;
        f->family = std::make_shared<Family>();
        f->fill_on = s.fill_on;
        RemoveSib(q);
        sibs_.push_back(std::move(f));
        break;
      }
      case 32: {
        op_ = "next_chunk";
        // Moving on reads nothing. Fill is asked only at the written end of
        // the last chunk; before that the queue moves on or is already there.
        const _queue_shared* sh = q->shared;
        bool fill_path = sh->first_chunk == nullptr;
        if (!fill_path && q->current_chunk == sh->last_chunk && q->read_pointer != nullptr) {
          fill_path = q->read_pointer == sh->write_pointer;
        }
        int want = 1;
        if (fill_path) {
          want = 0;
          if (s.fill_on) {
            const bool data = PlanFill(s);
            const FillKind kind = plan_.back().kind;
            want = data || kind == FillKind::kZeroBuffer ? 1 : 0;
          }
        }
        Expect(qvqueue_next_chunk(q), want, "next_chunk");
        ExpectPlanUsed();
        break;
      }
      default: {
        op_ = "update";
        Expect(qvqueue_update_queue(q), 1, "update_queue");
        break;
      }
    }
  }

  // Old marks and lagging siblings pin every chunk after them; past a bound the
  // oldest of them lets go, which keeps the checks quick.
  static constexpr int64_t kChunkPressure = 256;
  void Relieve() {
    MarkRec* oldest = nullptr;
    for (auto& m : marks_) {
      if (oldest == nullptr || m->off < oldest->off) oldest = m.get();
    }
    Sib* lagging = nullptr;
    for (auto& sp : sibs_) {
      if (lagging == nullptr || Total(*sp) - sp->off > Total(*lagging) - lagging->off) {
        lagging = sp.get();
      }
    }
    if (oldest != nullptr && (lagging == nullptr || Chance(50))) {
      op_ = "discardmark (pressure)";
      Expect(qvqueue_discardmark(oldest->mark), 1, "discardmark");
      RemoveMark(oldest);
    } else if (lagging != nullptr) {
      op_ = "seektoend (pressure)";
      Expect(qvqueue_seektoend(lagging->q), 1, "seektoend");
      lagging->off = Total(*lagging);
    }
  }

  // --- invariants -------------------------------------------------------------
  struct RPlace {
    _chunk* chunk;
    unsigned char* pos;
  };
  static RPlace SibPlace(const _queue* q) {
    _chunk* c = q->current_chunk != nullptr ? q->current_chunk : q->shared->first_chunk;
    if (c == nullptr) return {nullptr, nullptr};
    return {c, q->current_chunk != nullptr && q->read_pointer != nullptr ? q->read_pointer
                                                                         : c->buffer_start};
  }
  static RPlace MarkPlace(const _mark* m) {
    _chunk* c = m->chunk != nullptr ? m->chunk : m->queue->shared->first_chunk;
    if (c == nullptr) return {nullptr, nullptr};
    return {c, m->chunk != nullptr && m->position != nullptr ? m->position : c->buffer_start};
  }
  // Bytes from p to the write pointer; appends them to out when given.
  static int64_t Rest(const _queue_shared* s, RPlace p, std::vector<unsigned char>* out) {
    int64_t n = 0;
    for (_chunk* c = p.chunk; c != nullptr; c = c->next) {
      unsigned char* from = c == p.chunk ? p.pos : c->buffer_start;
      unsigned char* to = c == s->last_chunk ? s->write_pointer : c->buffer_start + c->size;
      if (to < from) return -1;
      if (out != nullptr) out->insert(out->end(), from, to);
      n += to - from;
    }
    return n;
  }

  void CheckAll(bool content) {
    int64_t chunks = 0;
    int64_t families = 0;
    int64_t queue_records = 0;
    int64_t heap_marks = 0;
    std::unordered_set<const _queue_shared*> seen;
    for (auto& sp : sibs_) {
      Sib& s = *sp;
      if (qvqueue_ok(s.q) != 1) {
        Fail("qvqueue_ok");
        return;
      }
      if (s.storage == nullptr) ++queue_records;
      const _queue_shared* sh = s.q->shared;
      if (!seen.insert(sh).second) continue;
      ++families;
      // Who holds what: each sibling from its current chunk on (a running sum
      // of starts), each mark its own chunk.
      std::vector<std::pair<const _chunk*, int>> holders;  // chunk, 0 start / 1 mark
      uint64_t pending = 0;
      int64_t siblings = 0;
      int64_t unplaced_sibs = 0;
      int64_t unplaced_marks = 0;
      for (auto& op : sibs_) {
        if (op->q->shared != sh) continue;
        ++siblings;
        if (op->q->current_chunk == nullptr) {
          ++unplaced_sibs;
        } else {
          holders.push_back({op->q->current_chunk, 0});
        }
        for (auto& m : marks_) {
          if (m->owner != op->q) continue;
          if (m->storage == nullptr) ++heap_marks;
          if (m->mark->chunk != nullptr) {
            holders.push_back({m->mark->chunk, 1});
          } else {
            ++unplaced_marks;
          }
        }
      }
      std::vector<const _chunk*> list;
      for (_chunk* c = sh->first_chunk; c != nullptr; c = c->next) list.push_back(c);
      chunks += static_cast<int64_t>(list.size());
      if (list.empty()) pending = static_cast<uint64_t>(unplaced_marks);
      std::vector<int64_t> starts(list.size() + 1, 0);
      std::vector<uint64_t> refs(list.size(), 0);
      if (!list.empty()) {
        starts[0] += unplaced_sibs;
        refs[0] += static_cast<uint64_t>(unplaced_marks);
      }
      size_t found = 0;
      for (size_t i = 0; i < list.size(); ++i) {
        for (auto& h : holders) {
          if (h.first != list[i]) continue;
          ++found;
          if (h.second == 0) {
            ++starts[i];
          } else {
            ++refs[i];
          }
        }
      }
      if (found != holders.size()) {
        Fail("a sibling or mark holds a chunk that is not in the list");
        return;
      }
      int64_t running = 0;
      for (size_t i = 0; i < list.size(); ++i) {
        running += starts[i];
        refs[i] += static_cast<uint64_t>(running);
      }
      if (sh->siblings != siblings) Fail("sibling count");
      if (sh->pending != pending) Fail("pending references");
      for (size_t i = 0; i < list.size(); ++i) {
        if (list[i]->references != refs[i]) {
          Fail("chunk references " + std::to_string(list[i]->references) + " want " +
               std::to_string(refs[i]));
          return;
        }
      }
      if (!list.empty() && list.front()->references == 0) Fail("an unneeded chunk was kept");
    }
    for (auto& sp : sibs_) {
      Sib& s = *sp;
      const int64_t rest = Rest(s.q->shared, SibPlace(s.q), nullptr);
      if (rest != Total(s) - s.off) {
        Fail("bytes left " + std::to_string(rest) + " want " + std::to_string(Total(s) - s.off));
        return;
      }
      if (content) {
        std::vector<unsigned char> bytes;
        Rest(s.q->shared, SibPlace(s.q), &bytes);
        if (!std::equal(bytes.begin(), bytes.end(), s.family->bytes.begin() + s.off)) {
          Fail("queue bytes differ from the model");
          return;
        }
      }
    }
    for (auto& m : marks_) {
      Sib* o = FindSib(m->owner);
      const int64_t rest = Rest(m->owner->shared, MarkPlace(m->mark), nullptr);
      if (rest != Total(*o) - m->off) {
        Fail("mark place " + std::to_string(rest) + " want " + std::to_string(Total(*o) - m->off));
        return;
      }
    }
    last_chunks_ = chunks;
    const int64_t want_live = 2 * chunks + families + queue_records + heap_marks;
    if (static_cast<int64_t>(Heap::live.size()) != want_live) {
      Fail("live blocks " + std::to_string(Heap::live.size()) + " want " + std::to_string(want_live));
    }
    if (config_.custom_callbacks && static_cast<int64_t>(buffers_.size()) != chunks) {
      Fail("live buffers " + std::to_string(buffers_.size()) + " want " + std::to_string(chunks));
    }
    if (!Heap::error.empty()) Fail(Heap::error);
  }

  Source next_;
  Config config_;
  std::vector<std::unique_ptr<Sib>> sibs_;
  std::vector<std::unique_ptr<MarkRec>> marks_;
  std::vector<std::shared_ptr<Family>> families_;
  std::deque<FillStep> plan_;
  std::unordered_map<unsigned char*, uintptr_t> buffers_;
  uintptr_t cookie_counter_ = 0;
  ChunkFault fault_ = ChunkFault::kNone;
  bool armed_ = false;
  bool finished_ = false;
  int64_t steps_ = 0;
  int64_t last_chunks_ = 0;
  std::string error_;
  std::string op_;
};

}  // namespace qvqueue_model
