// The chunked byte queue: long random sequences against a model, then the
// edge cases and failure results one by one.
#include "datastructures/qvqueue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "datastructures/qvqueue_model.h"

namespace {

using qvqueue_model::Heap;

// --- random sequences against the model ------------------------------------


// Chunk size, custom buffer callbacks, and which half of the seeds.
using ModelParam = std::tuple<uint64_t, bool, int>;
class QueueModel : public testing::TestWithParam<ModelParam> {};

TEST_P(QueueModel, AgreesWithModel) {
  const auto [chunk, custom, half] = GetParam();
  for (uint64_t seed = 1 + 3 * static_cast<uint64_t>(half); seed <= 3 + 3 * static_cast<uint64_t>(half);
       ++seed) {
    std::mt19937_64 rng(seed * 7919 + chunk * 31 + (custom ? 1 : 0));
    qvqueue_model::Config config;
    config.chunk_size = chunk;
    config.custom_callbacks = custom;
    config.with_fill = seed % 3 != 0;
    // Big chunks see fewer crossings; check content less often to keep it quick.
    config.content_check_every = chunk >= 1024 ? 32 : 4;
    qvqueue_model::Driver driver([&rng](uint64_t bound) { return rng() % bound; }, config);
    const bool ok = driver.Run(chunk >= 1024 ? 8000 : 15000);
    ASSERT_TRUE(ok) << "seed " << seed << ": " << driver.error();
    ASSERT_TRUE(driver.Finish()) << "seed " << seed << ": " << driver.error();
  }
}

INSTANTIATE_TEST_SUITE_P(ChunkSizes, QueueModel,
                         testing::Combine(testing::Values<uint64_t>(1, 2, 3, 7, 64, 4096),
                                          testing::Bool(), testing::Values(0, 1)),
                         [](const testing::TestParamInfo<ModelParam>& param_info) {
                           return "chunk" + std::to_string(std::get<0>(param_info.param)) +
                                  (std::get<1>(param_info.param) ? "_custom" : "_default") +
                                  "_seeds" + std::to_string(std::get<2>(param_info.param));
                         });

// --- edge cases ------------------------------------------------------------

// Counting callbacks: every buffer handed out must come back exactly once.
struct Counting {
  static inline int handed = 0;
  static inline int returned = 0;
  static inline int fills = 0;
  static inline int64_t fill_answer = 0;
  static inline bool fill_gives_buffer = true;
  static constexpr int64_t kNormal = INT64_MIN;
  static inline int64_t new_buffer_answer = kNormal;
  static inline bool one_shot = false;  // after one answer: none now, no buffer
  static void Reset() {
    handed = returned = fills = 0;
    one_shot = false;
    fill_answer = 0;
    fill_gives_buffer = true;
    new_buffer_answer = kNormal;
  }
  static int64_t NewBuffer(_queue* q, unsigned char** start, void** cookie) {
    if (new_buffer_answer == -2) return -2;
    *start = static_cast<unsigned char*>(Heap::Alloc(q->chunk_size));
    *cookie = nullptr;
    ++handed;
    return new_buffer_answer != kNormal ? new_buffer_answer : static_cast<int64_t>(q->chunk_size);
  }
  static void ReturnBuffer(_chunk*, unsigned char* start, void*) {
    ++returned;
    Heap::Free(start);
  }
  static int64_t Fill(_queue*, unsigned char** start, void**) {
    ++fills;
    if (fill_gives_buffer) {
      auto* p = static_cast<unsigned char*>(Heap::Alloc(fill_answer > 0 ? fill_answer : 1));
      for (int64_t i = 0; i < fill_answer; ++i) p[i] = static_cast<unsigned char>('a' + i % 26);
      *start = p;
      ++handed;
    }
    const int64_t answer = fill_answer;
    if (one_shot) {
      fill_answer = 0;
      fill_gives_buffer = false;
    }
    return answer;
  }
};

class Queue : public testing::Test {
 protected:
  void SetUp() override { Counting::Reset(); }
  void TearDown() override {
    EXPECT_TRUE(Heap::live.empty()) << Heap::live.size() << " blocks left";
    EXPECT_EQ(Counting::handed, Counting::returned);
    EXPECT_TRUE(Heap::error.empty()) << Heap::error;
  }
  static _queue* Make(uint64_t chunk, bool counting = true, bool fill = false) {
    const _callback cb{counting ? Counting::NewBuffer : nullptr,
                       counting ? Counting::ReturnBuffer : nullptr,
                       fill ? Counting::Fill : nullptr, nullptr};
    int err = -1;
    _queue* q = qvqueue_new_with_allocators(Heap::Alloc, Heap::Free, &cb, chunk, nullptr, &err);
    EXPECT_EQ(err, 0);
    return q;
  }
  static int Chunks(const _queue* q) {
    int n = 0;
    for (const _chunk* c = q->shared->first_chunk; c != nullptr; c = c->next) ++n;
    return n;
  }
  static std::string ReadAll(_queue* q) {
    std::string s;
    for (int c; (c = qvqueue_getc(q)) >= 0;) s.push_back(static_cast<char>(c));
    return s;
  }
  static std::vector<unsigned char> Pattern(size_t n) {
    std::vector<unsigned char> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 7 + i / 256);
    return v;
  }
};

TEST_F(Queue, ChunkSizeZeroMeansDefault) {
  _queue* q = Make(0, false);
  EXPECT_EQ(q->chunk_size, 4096u);
  auto data = Pattern(4097);
  EXPECT_EQ(qvqueue_putn(q, data.data(), 4097), 4097);
  EXPECT_EQ(Chunks(q), 2);
  std::vector<unsigned char> back(5000);
  EXPECT_EQ(qvqueue_getn(q, back.data(), 5000), 4097);
  EXPECT_EQ(0, std::memcmp(back.data(), data.data(), 4097));
  EXPECT_EQ(qvqueue_destroy(q), 1);
}

TEST_F(Queue, EmptyQueueWithoutFillAnswersMinusOne) {
  _queue* q = Make(8);
  EXPECT_EQ(qvqueue_getc(q), -1);
  EXPECT_EQ(qvqueue_peekc(q), -1);
  char b[4];
  EXPECT_EQ(qvqueue_getn(q, b, 4), -1);
  EXPECT_EQ(qvqueue_getn(q, b, 0), 0);
  EXPECT_EQ(qvqueue_isempty(q), 1);
  EXPECT_EQ(qvqueue_amount_left_in_queue(q), 0);
  EXPECT_EQ(qvqueue_destroy(q), 1);
}

TEST_F(Queue, NegativeFillIsAskedOnceAndNeverAgain) {
  for (bool with_buffer : {false, true}) {
    Counting::Reset();
    Counting::fill_answer = -1;
    Counting::fill_gives_buffer = with_buffer;
    _queue* q = Make(8, true, true);
    EXPECT_EQ(qvqueue_getc(q), -1);
    EXPECT_EQ(qvqueue_getc(q), -1);
    char b[4];
    EXPECT_EQ(qvqueue_getn(q, b, 4), -1);
    EXPECT_EQ(Counting::fills, 1);
    EXPECT_EQ(Counting::returned, Counting::handed) << "the refused buffer goes back";
    // Bytes written later are still read.
    EXPECT_EQ(qvqueue_putn(q, "xy", 2), 2);
    EXPECT_EQ(ReadAll(q), "xy");
    EXPECT_EQ(Counting::fills, 1);
    EXPECT_EQ(qvqueue_destroy(q), 1);
  }
}

TEST_F(Queue, FillAnswers) {
  struct Case {
    int64_t answer;
    bool buffer;
    int first;       // first getc
    int64_t chunks;  // chunks linked
  };
  const Case cases[] = {
      {5, true, 'a', 1},   // data
      {0, true, -1, 1},    // none now, with a buffer: an empty chunk
      {0, false, -1, 0},   // none now
      {12, false, -1, 0},  // claims data without a buffer: nothing, no crash
  };
  for (const Case& c : cases) {
    Counting::Reset();
    Counting::fill_answer = c.answer;
    Counting::fill_gives_buffer = c.buffer;
    _queue* q = Make(8, true, true);
    EXPECT_EQ(qvqueue_getc(q), c.first) << c.answer << "/" << c.buffer;
    EXPECT_EQ(Chunks(q), c.chunks);
    EXPECT_EQ(Counting::fills, 1);
    // Filling stays on for every answer that is not negative.
    EXPECT_NE(q->fill, nullptr);
    if (c.answer > 0 && c.buffer) {
      Counting::fill_answer = -1;
      EXPECT_EQ(ReadAll(q), "bcde");
      EXPECT_EQ(Counting::fills, 2);
    }
    EXPECT_EQ(qvqueue_destroy(q), 1);
  }
}

TEST_F(Queue, MarkOnEmptyQueueIsSatisfiedByFirstChunk) {
  _queue* q = Make(4);
  _mark* m = qvqueue_savemark(q);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->chunk, nullptr);
  EXPECT_EQ(q->shared->pending, 1u);
  EXPECT_EQ(qvqueue_putn(q, "abcdefghij", 10), 10);
  EXPECT_EQ(q->shared->pending, 0u);
  EXPECT_EQ(ReadAll(q), "abcdefghij");
  // The first chunk is held by the mark only.
  EXPECT_EQ(Chunks(q), 3);
  EXPECT_EQ(qvqueue_amount_between_marks(m, m), 0);
  EXPECT_EQ(qvqueue_seek(m), 1);
  EXPECT_EQ(ReadAll(q), "abcdefghij");
  EXPECT_EQ(qvqueue_discardmark(m), 1);
  EXPECT_EQ(Chunks(q), 1);
  EXPECT_EQ(qvqueue_destroy(q), 1);
}

TEST_F(Queue, MarkOnEmptyQueueDiscardedAfterWriting) {
  // The mark's pending reference moved to the first chunk; dropping the mark
  // must drop it there, not from the (now empty) pending count.
  _queue* q = Make(4);
  _mark* m = qvqueue_savemark(q);
  EXPECT_EQ(qvqueue_putn(q, "abcdefgh", 8), 8);
  EXPECT_EQ(qvqueue_getn(q, std::string(8, ' ').data(), 8), 8);
  EXPECT_EQ(qvqueue_discardmark(m), 1);
  EXPECT_EQ(q->shared->pending, 0u);
  EXPECT_EQ(Chunks(q), 1);
  EXPECT_EQ(Counting::returned, 1);
  EXPECT_EQ(qvqueue_destroy(q), 1);
}

TEST_F(Queue, MarkOfAnUnreadSiblingHoldsTheFirstChunk) {
  // The fork was made before any chunk; its mark must pin the first chunk,
  // not leave a pending reference for some later chunk.
  _queue* q = Make(4);
  _queue* f = qvqueue_newfork(q, nullptr, nullptr);
  qvqueue_putn(q, "abcdefghij", 10);
  _mark* m = qvqueue_savemark(f);
  EXPECT_EQ(m->chunk, q->shared->first_chunk);
  EXPECT_EQ(q->shared->pending, 0u);
  EXPECT_EQ(ReadAll(f), "abcdefghij");
  EXPECT_EQ(qvqueue_destroy(q), 1);
  EXPECT_EQ(qvqueue_seek(m), 1);
  EXPECT_EQ(ReadAll(f), "abcdefghij");
  EXPECT_EQ(qvqueue_discardmark(m), 1);
  EXPECT_EQ(Chunks(f), 1);
  qvqueue_putn(f, "klm", 3);  // two fill the last chunk, one starts a new one
  EXPECT_EQ(Chunks(f), 2);
  EXPECT_EQ(f->shared->last_chunk->references, 1u) << "nothing pending was left for it";
  EXPECT_EQ(qvqueue_destroy(f), 1);
}

TEST_F(Queue, SeekBackTwoChunksFreesEachChunkOnce) {
  _queue* q = Make(4);
  auto data = Pattern(12);
  qvqueue_putn(q, data.data(), 12);
  qvqueue_getc(q);
  _mark* m = qvqueue_savemark(q);
  std::vector<unsigned char> b(12);
  EXPECT_EQ(qvqueue_getn(q, b.data(), 9), 9);  // now in the third chunk
  EXPECT_EQ(q->current_chunk, q->shared->last_chunk);
  EXPECT_EQ(qvqueue_seek(m), 1);
  EXPECT_EQ(qvqueue_getn(q, b.data(), 12), 11);
  EXPECT_EQ(0, std::memcmp(b.data(), data.data() + 1, 11));
  EXPECT_EQ(Counting::returned, 0);
  EXPECT_EQ(qvqueue_discardmark(m), 1);
  EXPECT_EQ(Counting::returned, 2);
  EXPECT_EQ(Chunks(q), 1);
  EXPECT_EQ(qvqueue_destroy(q), 1);
  EXPECT_EQ(Counting::returned, 3);
}

TEST_F(Queue, AmountBetweenMarksAcrossThreeChunks) {
  _queue* q = Make(0);
  auto data = Pattern(3 * 4096);
  qvqueue_putn(q, data.data(), static_cast<int64_t>(data.size()));
  _mark* start = qvqueue_savemark(q);
  _mark* a = qvqueue_savemark_from_offset(q, 100);
  _mark* b = qvqueue_savemark_from_offset(q, 2 * 4096 + 50);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(qvqueue_amount_between_marks(b, a), 3996 + 4096 + 50);
  EXPECT_EQ(qvqueue_amount_between_marks(a, b), -1);
  EXPECT_EQ(qvqueue_compare_marks(a, b), -1);
  EXPECT_EQ(qvqueue_compare_marks(b, a), 1);
  EXPECT_EQ(qvqueue_compare_marks(start, start), 0);
  EXPECT_EQ(qvqueue_mark_is_on_next_byte(start), 1);
  EXPECT_EQ(qvqueue_mark_is_on_next_byte(a), 0);
  for (_mark* m : {start, a, b}) qvqueue_discardmark(m);
  EXPECT_EQ(qvqueue_destroy(q), 1);
}

TEST_F(Queue, PlacesAtAChunkBoundaryAreOnePlace) {
  // The end of one chunk and the start of the next are the same byte place.
  _queue* q = Make(4);
  qvqueue_putn(q, "abcdefgh", 8);
  char b[4];
  qvqueue_getn(q, b, 4);  // read pointer at the end of the first chunk
  _mark* end_of_first = qvqueue_savemark(q);
  _mark* start_of_second = qvqueue_savemark_from_offset(q, 0);
  qvqueue_getc(q);
  _mark* one_on = qvqueue_savemark(q);
  qvqueue_ungetc(q, 'e');  // back to the start of the second chunk
  _mark* start2 = qvqueue_savemark(q);
  EXPECT_NE(end_of_first->chunk, start2->chunk);
  EXPECT_EQ(qvqueue_compare_marks(end_of_first, start2), 0);
  EXPECT_EQ(qvqueue_compare_marks(start2, end_of_first), 0);
  EXPECT_EQ(qvqueue_compare_marks(start_of_second, start2), 0);
  EXPECT_EQ(qvqueue_amount_between_marks(start2, end_of_first), 0);
  EXPECT_EQ(qvqueue_amount_between_marks(end_of_first, start2), 0);
  EXPECT_EQ(qvqueue_amount_between_marks(one_on, end_of_first), 1);
  EXPECT_EQ(qvqueue_mark_is_on_next_byte(end_of_first), 1);
  // Moving the stretch up to a mark on the same place moves nothing and succeeds.
  _queue* d = Make(4);
  EXPECT_EQ(qvqueue_transfer(d, q, end_of_first), 1);
  EXPECT_EQ(qvqueue_amount_left_in_queue(d), 0);
  for (_mark* m : {end_of_first, start_of_second, one_on, start2}) qvqueue_discardmark(m);
  EXPECT_EQ(qvqueue_destroy(q), 1);
  EXPECT_EQ(qvqueue_destroy(d), 1);
}

TEST_F(Queue, DestroyIsRefusedWhileMarksAreOut) {
  _queue* q = Make(4);
  qvqueue_putn(q, "abc", 3);
  _mark* m = qvqueue_savemark(q);
  EXPECT_EQ(qvqueue_destroy(q), 0);
  EXPECT_EQ(q->magic, QVQUEUE_MAGIC);
  EXPECT_EQ(qvqueue_getc(q), 'a');
  EXPECT_EQ(qvqueue_discardmark(m), 1);
  EXPECT_EQ(qvqueue_destroy(q), 1);
}

TEST_F(Queue, DestroyingOneSiblingLeavesTheOtherReading) {
  _queue* q = Make(3);
  auto data = Pattern(20);
  qvqueue_putn(q, data.data(), 20);
  qvqueue_getc(q);
  int err = -1;
  _queue* f = qvqueue_newfork(q, reinterpret_cast<void*>(7), &err);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(qvqueue_userdata(f), reinterpret_cast<void*>(7));
  EXPECT_EQ(qvqueue_sibling_count(q), 2);
  EXPECT_EQ(qvqueue_are_siblings(q, f), 1);
  EXPECT_EQ(qvqueue_destroy(q), 1);
  EXPECT_EQ(qvqueue_sibling_count(f), 1);
  std::vector<unsigned char> b(30);
  EXPECT_EQ(qvqueue_getn(f, b.data(), 30), 19);
  EXPECT_EQ(0, std::memcmp(b.data(), data.data() + 1, 19));
  EXPECT_EQ(qvqueue_destroy(f), 1);
}

TEST_F(Queue, ConstructedQueueLivesInCallerMemory) {
  _queue_memstruct* ms = qvqueue_new_memstruct(Heap::Alloc, Heap::Free);
  ASSERT_NE(ms, nullptr);
  _queue memory;
  EXPECT_EQ(qvqueue_construct(ms, &memory, nullptr, 0, nullptr), -3);
  EXPECT_EQ(memory.in_place, 1);
  EXPECT_EQ(Heap::live.count(&memory), 0u);
  qvqueue_putn(&memory, "hello", 5);
  // A fork of it is an ordinary record and is freed with its destroy.
  _queue* f = qvqueue_newfork(&memory, nullptr, nullptr);
  EXPECT_EQ(f->in_place, 0);
  EXPECT_EQ(qvqueue_destroy(f), 1);
  EXPECT_EQ(ReadAll(&memory), "hello");
  EXPECT_EQ(qvqueue_destroy(&memory), 1);  // Heap::Free would flag a block it never gave
  EXPECT_EQ(memory.magic, 0u);
  EXPECT_EQ(qvqueue_destroy(&memory), 1);  // already ended: nothing more happens
  EXPECT_EQ(qvqueue_construct(nullptr, &memory, nullptr, 0, nullptr), -2);
  EXPECT_EQ(qvqueue_construct(ms, nullptr, nullptr, 0, nullptr), -2);
  Heap::fail_in = 0;
  EXPECT_EQ(qvqueue_construct(ms, &memory, nullptr, 0, nullptr), -2);
  qvqueue_destroy_memstruct(ms);
}

TEST_F(Queue, ConstructKeepsFillOnlyWithBothBufferCallbacks) {
  _queue_memstruct ms{Heap::Alloc, Heap::Free};
  _queue a;
  _queue b;
  const _callback fill_only{nullptr, nullptr, Counting::Fill, nullptr};
  const _callback all{Counting::NewBuffer, Counting::ReturnBuffer, Counting::Fill, nullptr};
  qvqueue_construct(&ms, &a, &fill_only, 0, nullptr);
  qvqueue_construct(&ms, &b, &all, 0, nullptr);
  EXPECT_EQ(a.fill, nullptr);
  EXPECT_EQ(a.new_buffer, qvqueue_new_buffer);
  EXPECT_EQ(b.fill, Counting::Fill);
  // qvqueue_new keeps a lone fill with the default buffers.
  _queue* c = qvqueue_new_with_allocators(Heap::Alloc, Heap::Free, &fill_only, 0, nullptr, nullptr);
  EXPECT_EQ(c->fill, Counting::Fill);
  EXPECT_EQ(c->return_buffer, qvqueue_return_buffer);
  qvqueue_destroy(&a);
  qvqueue_destroy(&b);
  qvqueue_destroy(c);
}

TEST_F(Queue, UngetcAfterFirstByteOfChunk) {
  _queue* q = Make(4);
  qvqueue_putn(q, "abcdef", 6);
  char b[4];
  qvqueue_getn(q, b, 4);
  EXPECT_EQ(qvqueue_getc(q), 'e');  // first byte of the second chunk
  EXPECT_EQ(qvqueue_ungetc(q, 'E'), 'E');
  EXPECT_EQ(qvqueue_ungetc(q, 'd'), -1);
  EXPECT_EQ(qvqueue_getc(q), 'E');
  EXPECT_EQ(qvqueue_ungetn(q, "xy", 2), -2);  // only one byte before it
  EXPECT_EQ(qvqueue_ungetn(q, "x", 1), 1);
  EXPECT_EQ(ReadAll(q), "xf");
  EXPECT_EQ(qvqueue_destroy(q), 1);
}

TEST_F(Queue, ClearWithMarksLeavesTheQueueAlone) {
  _queue* q = Make(4);
  qvqueue_setuserdata(q, reinterpret_cast<void*>(42));
  qvqueue_putn(q, "abcdef", 6);
  _mark* m = qvqueue_savemark(q);
  const size_t live = Heap::live.size();
  EXPECT_EQ(qvqueue_clear(q), nullptr);
  EXPECT_EQ(Heap::live.size(), live) << "no second queue may be made";
  EXPECT_EQ(q->magic, QVQUEUE_MAGIC);
  EXPECT_EQ(qvqueue_outstanding_marks(q), 1);
  EXPECT_EQ(ReadAll(q), "abcdef");
  qvqueue_discardmark(m);

  _queue* fresh = qvqueue_clear(q);
  ASSERT_NE(fresh, nullptr);
  EXPECT_NE(fresh, q);
  EXPECT_EQ(Heap::live.size(), 2u) << "the old queue and its chunks are gone";
  EXPECT_EQ(qvqueue_userdata(fresh), reinterpret_cast<void*>(42));
  EXPECT_EQ(fresh->chunk_size, 4u);
  EXPECT_EQ(fresh->new_buffer, Counting::NewBuffer);
  EXPECT_EQ(fresh->return_buffer, Counting::ReturnBuffer);
  EXPECT_EQ(fresh->allocate, Heap::Alloc);
  EXPECT_EQ(qvqueue_isempty(fresh), 1);
  qvqueue_putn(fresh, "z", 1);
  EXPECT_EQ(ReadAll(fresh), "z");
  // When the new queue cannot be made the old one stays usable.
  Heap::fail_in = 0;
  EXPECT_EQ(qvqueue_clear(fresh), nullptr);
  EXPECT_EQ(fresh->magic, QVQUEUE_MAGIC);
  EXPECT_EQ(qvqueue_destroy(fresh), 1);
  EXPECT_EQ(qvqueue_clear(nullptr), nullptr);
}

TEST_F(Queue, NegativeCountsGiveTheErrorResult) {
  _queue* q = Make(4);
  qvqueue_putn(q, "abcdef", 6);
  qvqueue_getn(q, std::string(2, ' ').data(), 2);
  char b[8] = {};
  _mark* m = qvqueue_savemark(q);
  EXPECT_EQ(qvqueue_putn(q, "x", -1), -2);
  EXPECT_EQ(qvqueue_putv(q, "x", -1, 1), -2);
  EXPECT_EQ(qvqueue_putv(q, "x", 1, -1), -2);
  EXPECT_EQ(qvqueue_getn(q, b, -1), -2);
  EXPECT_EQ(qvqueue_ungetn(q, "x", -1), -2);
  EXPECT_EQ(qvqueue_seek_to_offset(m, -1), 0);
  EXPECT_EQ(qvqueue_savemark_from_offset(q, -1), nullptr);
  EXPECT_EQ(qvqueue_get_byte_from_offset(q, -1), nullptr);
  // Sizes whose product does not fit are refused before anything is written.
  EXPECT_EQ(qvqueue_putv(q, "x", INT64_MAX / 2, 3), -2);
  EXPECT_EQ(qvqueue_putv(q, "x", 0, 5), 5);
  EXPECT_EQ(qvqueue_amount_left_in_queue(q), 4);
  EXPECT_EQ(qvqueue_outstanding_marks(q), 1);
  qvqueue_discardmark(m);
  EXPECT_EQ(qvqueue_destroy(q), 1);
  // A chunk size that is a negative number seen unsigned: no chunk can be had.
  _queue* huge = Make(UINT64_MAX, false);
  EXPECT_EQ(qvqueue_putn(huge, "abc", 3), -2);
  EXPECT_EQ(qvqueue_putc(huge, 'a'), -2);
  EXPECT_EQ(qvqueue_putstart(huge), nullptr);
  EXPECT_EQ(qvqueue_getc(huge), -1);
  EXPECT_EQ(qvqueue_destroy(huge), 1);
}

TEST_F(Queue, NullArguments) {
  char b[4];
  _mark mark_memory{};
  EXPECT_EQ(qvqueue_new_memstruct(nullptr, Heap::Free), nullptr);
  EXPECT_EQ(qvqueue_new_memstruct(Heap::Alloc, nullptr), nullptr);
  int err = 99;
  EXPECT_EQ(qvqueue_new(nullptr, nullptr, 0, nullptr, &err), nullptr);
  EXPECT_EQ(err, 99);
  EXPECT_EQ(qvqueue_newfork(nullptr, nullptr, &err), nullptr);
  EXPECT_EQ(err, QVQUEUE_ERR_NOQUEUE);
  EXPECT_EQ(qvqueue_destroy(nullptr), 1);
  EXPECT_EQ(qvqueue_userdata(nullptr), nullptr);
  EXPECT_EQ(qvqueue_setuserdata(nullptr, b), 0);
  EXPECT_EQ(qvqueue_sibling_count(nullptr), -1);
  EXPECT_EQ(qvqueue_are_siblings(nullptr, nullptr), 0);
  EXPECT_EQ(qvqueue_ok(nullptr), 0);
  EXPECT_EQ(qvqueue_putn(nullptr, b, 1), -2);
  EXPECT_EQ(qvqueue_putv(nullptr, b, 1, 1), -2);
  EXPECT_EQ(qvqueue_putc(nullptr, 'a'), -2);
  EXPECT_EQ(qvqueue_putstart(nullptr), nullptr);
  EXPECT_EQ(qvqueue_putend(nullptr), nullptr);
  EXPECT_EQ(qvqueue_putstop(nullptr, reinterpret_cast<unsigned char*>(b)), nullptr);
  EXPECT_EQ(qvqueue_add_chunk(nullptr), 0);
  EXPECT_EQ(qvqueue_getc(nullptr), -2);
  EXPECT_EQ(qvqueue_peekc(nullptr), -2);
  EXPECT_EQ(qvqueue_ungetc(nullptr, 'a'), -2);
  EXPECT_EQ(qvqueue_getn(nullptr, b, 1), -2);
  EXPECT_EQ(qvqueue_ungetn(nullptr, b, 1), 0);
  EXPECT_EQ(qvqueue_next_chunk(nullptr), 0);
  EXPECT_EQ(qvqueue_update_queue(nullptr), 0);
  EXPECT_EQ(qvqueue_isempty(nullptr), -2);
  EXPECT_EQ(qvqueue_amount_left_in_queue(nullptr), -1);
  EXPECT_EQ(qvqueue_tell(nullptr), nullptr);
  EXPECT_EQ(qvqueue_size(nullptr), nullptr);
  EXPECT_EQ(qvqueue_at_beginning(nullptr), -1);
  EXPECT_EQ(qvqueue_get_byte_from_offset(nullptr, 0), nullptr);
  unsigned char* s = reinterpret_cast<unsigned char*>(b);
  unsigned char* e = s;
  qvqueue_borrow_some(nullptr, &s, &e);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(qvqueue_borrowed(nullptr), 0);
  EXPECT_EQ(qvqueue_savemark(nullptr), nullptr);
  EXPECT_EQ(qvqueue_construct_and_savemark(nullptr, &mark_memory), nullptr);
  EXPECT_EQ(qvqueue_savemark_from_offset(nullptr, 0), nullptr);
  EXPECT_EQ(qvqueue_seek(nullptr), 0);
  EXPECT_EQ(qvqueue_seek_to_offset(nullptr, 0), 0);
  EXPECT_EQ(qvqueue_discardmark(nullptr), 0);
  EXPECT_EQ(qvqueue_compare_marks(nullptr, nullptr), -2);
  EXPECT_EQ(qvqueue_mark_is_on_next_byte(nullptr), -1);
  EXPECT_EQ(qvqueue_amount_between_marks(nullptr, nullptr), -1);
  EXPECT_EQ(qvqueue_outstanding_marks(nullptr), 0);
  EXPECT_EQ(qvqueue_transfer(nullptr, nullptr, nullptr), 0);

  _queue* q = Make(4);
  EXPECT_EQ(qvqueue_putn(q, nullptr, 1), -2);
  EXPECT_EQ(qvqueue_getn(q, nullptr, 1), -2);
  EXPECT_EQ(qvqueue_ungetn(q, nullptr, 1), 0);
  EXPECT_EQ(qvqueue_putstop(q, nullptr), nullptr);
  EXPECT_EQ(qvqueue_construct_and_savemark(q, nullptr), nullptr);
  EXPECT_EQ(qvqueue_get_memstruct(q)->allocate, Heap::Alloc);
  EXPECT_EQ(qvqueue_destroy(q), 1);
}

TEST_F(Queue, FailedAllocationsKeepWhatWasWritten) {
  _queue* q = Make(4, false);
  auto data = Pattern(10);
  qvqueue_putc(q, 'a');
  Heap::fail_in = 1;  // the buffer of the second chunk
  EXPECT_EQ(qvqueue_putn(q, data.data(), 10), -2);
  EXPECT_EQ(qvqueue_amount_left_in_queue(q), 4);
  Heap::fail_in = 0;
  EXPECT_EQ(qvqueue_putc(q, 'b'), -2);
  Heap::fail_in = 0;
  EXPECT_EQ(qvqueue_add_chunk(q), 0);
  Heap::fail_in = 0;
  EXPECT_EQ(qvqueue_putstart(q), nullptr);
  Heap::fail_in = 0;
  EXPECT_EQ(qvqueue_savemark(q), nullptr);
  Heap::fail_in = 0;
  int err = -1;
  EXPECT_EQ(qvqueue_newfork(q, nullptr, &err), nullptr);
  EXPECT_EQ(err, QVQUEUE_ERR_NOMEM);
  Heap::fail_in = 1;
  EXPECT_EQ(qvqueue_new_with_allocators(Heap::Alloc, Heap::Free, nullptr, 0, nullptr, &err), nullptr);
  EXPECT_EQ(err, QVQUEUE_ERR_NOMEM);
  Heap::fail_in = -1;
  EXPECT_EQ(qvqueue_getc(q), 'a');
  EXPECT_EQ(qvqueue_amount_left_in_queue(q), 3);
  EXPECT_EQ(qvqueue_destroy(q), 1);
}

TEST_F(Queue, NewBufferAnswersThatHoldNoByteAreFailures) {
  for (int64_t answer : {int64_t{-2}, int64_t{0}, int64_t{-5}}) {
    Counting::Reset();
    Counting::new_buffer_answer = answer;
    _queue* q = Make(4);
    EXPECT_EQ(qvqueue_putn(q, "abc", 3), -2) << answer;
    EXPECT_EQ(qvqueue_putc(q, 'a'), -2);
    EXPECT_EQ(qvqueue_add_chunk(q), 0);
    EXPECT_EQ(Chunks(q), 0);
    EXPECT_EQ(Counting::handed, Counting::returned) << "a buffer that was given goes back";
    EXPECT_EQ(qvqueue_destroy(q), 1);
  }
}

TEST_F(Queue, AddedChunkCutsTheUnwrittenTailOfTheLastOne) {
  // Nothing that was never written may be read, whichever way a chunk is added.
  _queue* q = Make(8, true, true);
  _queue* reader = qvqueue_newfork(q, nullptr, nullptr);
  qvqueue_putn(q, "abc", 3);
  EXPECT_EQ(qvqueue_add_chunk(q), 1);
  qvqueue_putn(q, "def", 3);
  EXPECT_EQ(q->shared->first_chunk->size, 3);
  EXPECT_EQ(qvqueue_amount_left_in_queue(reader), 6);
  // A fill after a half-written chunk.
  Counting::fill_answer = 2;
  Counting::one_shot = true;
  EXPECT_EQ(ReadAll(q), "abcdefab");
  EXPECT_EQ(qvqueue_putn(q, "g", 1), 1);
  Counting::fill_answer = 0;
  Counting::fill_gives_buffer = false;
  EXPECT_EQ(ReadAll(q), "g");
  EXPECT_EQ(ReadAll(reader), "abcdefabg");
  EXPECT_EQ(qvqueue_destroy(reader), 1);
  EXPECT_EQ(qvqueue_destroy(q), 1);
}

TEST_F(Queue, WriteWindowAndBorrowedWindow) {
  _queue* q = Make(8);
  unsigned char* p = qvqueue_putstart(q);
  unsigned char* e = qvqueue_putend(q);
  ASSERT_EQ(e - p, 8);
  std::memcpy(p, "abcde", 5);
  EXPECT_EQ(qvqueue_putstop(q, p + 5), p + 5);
  EXPECT_EQ(qvqueue_putstop(q, p + 4), nullptr) << "a window never closes behind written bytes";
  EXPECT_EQ(qvqueue_putstop(q, e + 1), nullptr);
  EXPECT_EQ(qvqueue_size(q), p + 5);
  unsigned char* b = nullptr;
  unsigned char* be = nullptr;
  qvqueue_borrow_some(q, &b, &be);
  ASSERT_EQ(be - b, 5);
  EXPECT_EQ(qvqueue_borrowed(q), 1);
  EXPECT_EQ(0, std::memcmp(b, "abcde", 5));
  qvqueue_return_rest(q, be + 1);  // outside the window: ignored
  EXPECT_EQ(qvqueue_tell(q), b);
  qvqueue_borrow_some(q, &b, &be);
  qvqueue_return_rest(q, b + 2);
  EXPECT_EQ(qvqueue_borrowed(q), 0);
  EXPECT_EQ(qvqueue_getc(q), 'c');
  qvqueue_disable_borrow(q);
  qvqueue_borrow_some(q, &b, &be);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(be, nullptr);
  qvqueue_enable_borrow(q);
  EXPECT_EQ(ReadAll(q), "de");
  EXPECT_EQ(qvqueue_destroy(q), 1);
}

TEST_F(Queue, PositionQueries) {
  _queue* q = Make(4);
  EXPECT_EQ(qvqueue_at_beginning(q), 1);
  EXPECT_EQ(qvqueue_isempty(q), 1);
  qvqueue_putn(q, "abcdefghij", 10);
  EXPECT_EQ(qvqueue_at_beginning(q), 1);
  EXPECT_EQ(*qvqueue_get_byte_from_offset(q, 5), 'f');
  EXPECT_EQ(qvqueue_get_byte_from_offset(q, 10), qvqueue_tell(q));
  qvqueue_getc(q);
  EXPECT_EQ(qvqueue_at_beginning(q), 0);
  EXPECT_EQ(qvqueue_ok(q), 1);
  EXPECT_EQ(qvqueue_seektoend(q), 1);
  EXPECT_EQ(qvqueue_isempty(q), 1);
  EXPECT_EQ(Chunks(q), 1);
  EXPECT_EQ(qvqueue_tell(q), qvqueue_size(q));
  // A chunk added and left empty still reads as empty.
  qvqueue_add_chunk(q);
  EXPECT_EQ(qvqueue_isempty(q), 1);
  EXPECT_EQ(qvqueue_destroy(q), 1);
}

TEST_F(Queue, TransferMovesUpToTheMark) {
  _queue* src = Make(3);
  _queue* dst = Make(5);
  qvqueue_putn(src, "0123456789", 10);
  qvqueue_getc(src);
  _mark* before = qvqueue_savemark(src);
  _mark* m = qvqueue_savemark_from_offset(src, 7);
  EXPECT_EQ(qvqueue_transfer(dst, src, m), 1);
  EXPECT_EQ(ReadAll(dst), "1234567");
  EXPECT_EQ(qvqueue_mark_is_on_next_byte(m), 1);
  EXPECT_EQ(qvqueue_transfer(dst, src, before), 0) << "the mark lies behind";
  EXPECT_EQ(qvqueue_mark_is_on_next_byte(m), 1);
  // A destination that cannot grow: the source goes back.
  qvqueue_seek(before);
  qvqueue_putn(dst, "abcd", 4);  // dst's last chunk has room for 4 of the 7
  Heap::fail_in = 0;
  EXPECT_EQ(qvqueue_transfer(dst, src, m), 0);
  EXPECT_EQ(qvqueue_mark_is_on_next_byte(before), 1);
  _queue* other = Make(4);
  qvqueue_putn(other, "x", 1);
  EXPECT_EQ(qvqueue_transfer(dst, other, m), 0) << "a mark of another queue";
  for (_mark* k : {before, m}) qvqueue_discardmark(k);
  for (_queue* k : {src, dst, other}) EXPECT_EQ(qvqueue_destroy(k), 1);
}

// A source that was never positioned has no read position: nothing moves,
// whether the mark would take bytes or none, and the source stays unpositioned.
TEST_F(Queue, TransferNeedsAReadPosition) {
  _queue* src = Make(8);
  _queue* dst = Make(8);
  ASSERT_EQ(qvqueue_add_chunk(src), 1);
  int err = -1;
  _queue* fork = qvqueue_newfork(src, nullptr, &err);
  ASSERT_NE(fork, nullptr);
  _mark* none = qvqueue_savemark(src);
  EXPECT_EQ(qvqueue_transfer(dst, src, none), 0) << "no bytes to move";
  EXPECT_EQ(qvqueue_tell(src), nullptr);
  qvqueue_putn(src, "abc", 3);  // positions src, not its fork
  _mark* two = qvqueue_savemark_from_offset(fork, 2);
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(qvqueue_transfer(dst, fork, two), 0) << "two bytes to move";
  EXPECT_EQ(qvqueue_tell(fork), nullptr);
  EXPECT_EQ(qvqueue_isempty(dst), 1);
  for (_mark* k : {none, two}) qvqueue_discardmark(k);
  for (_queue* k : {src, fork, dst}) EXPECT_EQ(qvqueue_destroy(k), 1);
}

TEST_F(Queue, SerialOverflowOrdersByTheList) {
  _queue* q = Make(2);
  q->shared->serial_counter = UINT64_MAX - 1;
  qvqueue_putn(q, "abcdefgh", 8);
  int overflowed = 0;
  for (const _chunk* c = q->shared->first_chunk; c != nullptr; c = c->next) {
    overflowed += c->serial_overflowed;
  }
  EXPECT_EQ(overflowed, 3);
  _mark* a = qvqueue_savemark_from_offset(q, 3);
  _mark* b = qvqueue_savemark_from_offset(q, 7);
  EXPECT_EQ(qvqueue_compare_marks(a, b), -1);
  EXPECT_EQ(qvqueue_amount_between_marks(b, a), 4);
  EXPECT_EQ(qvqueue_seek(b), 1);
  EXPECT_EQ(qvqueue_getc(q), 'h');
  EXPECT_EQ(qvqueue_seek(a), 1);
  EXPECT_EQ(qvqueue_getc(q), 'd');
  qvqueue_discardmark(a);
  qvqueue_discardmark(b);
  EXPECT_EQ(qvqueue_destroy(q), 1);
}

TEST_F(Queue, DiscardingAMarkInCallerMemoryTwiceIsHarmless) {
  _queue* q = Make(4);
  _mark m;
  ASSERT_EQ(qvqueue_construct_and_savemark(q, &m), &m);
  EXPECT_EQ(qvqueue_discardmark(&m), 1);
  EXPECT_EQ(qvqueue_discardmark(&m), 0);
  EXPECT_EQ(qvqueue_outstanding_marks(q), 0);
  EXPECT_EQ(qvqueue_destroy(q), 1);
}

}  // namespace
