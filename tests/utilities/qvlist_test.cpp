// The typed linked list, through an allocator pair that keeps freed blocks
// poisoned until the end of the test, so a read of a freed node shows.
#include "utilities/qvlist.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>

namespace {

struct Ledger {
  std::map<void*, size_t> live;
  std::map<void*, size_t> freed;  // poisoned, released at the end
  int failAfter = -1;             // allocations still allowed; -1 for no limit
  int badFrees = 0;
};
Ledger* ledger = nullptr;

void* Allocate(uint64_t size) {
  if (ledger->failAfter == 0) return nullptr;
  if (ledger->failAfter > 0) --ledger->failAfter;
  void* p = std::malloc(size == 0 ? 1 : size);
  std::memset(p, 0x5A, size);  // a fresh block is not zero: node_new must clear it
  ledger->live[p] = size;
  return p;
}

void Deallocate(void* p) {
  auto it = ledger->live.find(p);
  if (it == ledger->live.end()) {
    ++ledger->badFrees;
    return;
  }
  std::memset(p, 0xFF, it->second);
  ledger->freed[p] = it->second;
  ledger->live.erase(it);
}

class ListTest : public ::testing::Test {
 protected:
  void SetUp() override { ledger = &book; }
  void TearDown() override {
    EXPECT_TRUE(book.live.empty()) << book.live.size() << " blocks leaked";
    EXPECT_EQ(book.badFrees, 0);
    for (auto& [p, size] : book.freed) std::free(p);
    ledger = nullptr;
  }
  Ledger book;
};

int a = 1, b = 2, c = 3;

qvlinklist* ThreePointers() {
  qvlinklist* list = qvlinklist_new(Allocate, Deallocate);
  int status = -1;
  for (int* p : {&a, &b, &c}) {
    qvlinklist_insert(list, 18, p, 8, &status);
    EXPECT_EQ(status, QVLIST_OK);
  }
  return list;
}

TEST_F(ListTest, IteratesNewestFirstThenEnds) {
  qvlinklist* list = ThreePointers();
  EXPECT_EQ(qvlinklist_length(list), 3u);
  qvlinklist_iterate_reset(list);
  int status = -1;
  uint16_t type = 0;
  uint64_t size = 99;
  for (int* want : {&c, &b, &a}) {
    EXPECT_EQ(qvlinklist_iterate(list, &type, &size, &status), want);
    EXPECT_EQ(status, QVLIST_OK);
    EXPECT_EQ(type, 18);
    EXPECT_EQ(size, 0u);
  }
  EXPECT_EQ(qvlinklist_iterate(list, &type, &size, &status), nullptr);
  EXPECT_EQ(status, QVLIST_END);

  qvlinklist_iterate_reset(list);
  EXPECT_NE(qvlinklist_node_iterate(list, &status), nullptr);
  qvlinklist_node_iterate(list, &status);
  qvlinklist_node_iterate(list, &status);
  EXPECT_EQ(qvlinklist_node_iterate(list, &status), nullptr);
  EXPECT_EQ(status, QVLIST_NODE_END);
  qvlinklist_destroy(list);
}

TEST_F(ListTest, DeleteMiddleHeadAndMissing) {
  qvlinklist* list = ThreePointers();  // c, b, a
  int other = 0;
  qvlinklist_delete(list, 18, &other, 8);
  qvlinklist_delete(list, 17, &b, 8);  // right pointer, wrong type
  EXPECT_EQ(qvlinklist_length(list), 3u);

  qvlinklist_delete(list, 18, &b, 8);
  EXPECT_EQ(qvlinklist_length(list), 2u);
  qvlinklist_delete(list, 18, &c, 8);  // the head
  EXPECT_EQ(qvlinklist_length(list), 1u);
  ASSERT_NE(list->head, nullptr);
  EXPECT_EQ(node_get_data(list->head, nullptr, nullptr), &a);
  EXPECT_EQ(list->head->next, nullptr);
  qvlinklist_destroy(list);
}

TEST_F(ListTest, DeletingTheIteratorsNodeMovesTheIteratorOn) {
  qvlinklist* list = ThreePointers();  // c, b, a
  qvlinklist_iterate_reset(list);
  int status = -1;
  EXPECT_EQ(qvlinklist_iterate(list, nullptr, nullptr, &status), &c);
  // The iterator now stands on b's node; removing it must not leave it there.
  qvlinklist_delete(list, 18, &b, 8);
  EXPECT_EQ(qvlinklist_iterate(list, nullptr, nullptr, &status), &a);
  EXPECT_EQ(status, QVLIST_OK);
  EXPECT_EQ(qvlinklist_iterate(list, nullptr, nullptr, &status), nullptr);
  EXPECT_EQ(status, QVLIST_END);

  // The same for the last node, and for node_delete.
  qvlinklist_iterate_reset(list);
  qvlinklist_iterate(list, nullptr, nullptr, &status);  // at a now
  qvlinklist_node_delete(list, list->head->next);
  EXPECT_EQ(qvlinklist_iterate(list, nullptr, nullptr, &status), nullptr);
  EXPECT_EQ(status, QVLIST_END);
  EXPECT_EQ(qvlinklist_length(list), 1u);
  qvlinklist_destroy(list);
}

TEST_F(ListTest, PayloadTypes) {
  qvlinklist list;
  qvlinklist_initialize(&list, Allocate, Deallocate);
  EXPECT_EQ(list.in_place, 1);
  int status = -1;
  qvlinklist_insert(&list, 17, "abc", 3, &status);
  ASSERT_EQ(status, QVLIST_OK);
  uint16_t type = 0;
  uint64_t size = 0;
  auto* text = static_cast<const char*>(node_get_data(list.head, &type, &size));
  EXPECT_EQ(type, 17);
  EXPECT_EQ(size, 3u);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(book.live[const_cast<char*>(text)], 4u);
  EXPECT_EQ(std::memcmp(text, "abc", 4), 0);

  const unsigned char bytes[5] = {1, 2, 0, 4, 5};
  qvlinklist_insert(&list, 15, bytes, 5, &status);
  auto* copy = static_cast<const unsigned char*>(node_get_data(list.head, &type, &size));
  EXPECT_EQ(size, 5u);
  EXPECT_NE(copy, bytes);
  EXPECT_EQ(std::memcmp(copy, bytes, 5), 0);

  // Inline values are copied into the node and read back at their own size.
  const int16_t v16 = -7;
  const int32_t v32 = 123456;
  const int64_t v64 = -9876543210;
  const float vf = 1.5f;
  const long double vld = 2.75L;
  const unsigned char v8 = 200;
  qvlinklist_insert(&list, 1, &v16, 2, &status);
  EXPECT_EQ(*static_cast<int16_t*>(node_get_data(list.head, &type, &size)), v16);
  EXPECT_EQ(size, 0u);
  qvlinklist_insert(&list, 3, &v32, 4, &status);
  EXPECT_EQ(*static_cast<int32_t*>(node_get_data(list.head, nullptr, nullptr)), v32);
  qvlinklist_insert(&list, 20, &v64, 8, &status);
  EXPECT_EQ(*static_cast<int64_t*>(node_get_data(list.head, nullptr, nullptr)), v64);
  qvlinklist_insert(&list, 10, &vf, 4, &status);
  EXPECT_EQ(*static_cast<float*>(node_get_data(list.head, nullptr, nullptr)), vf);
  qvlinklist_insert(&list, 12, &vld, 10, &status);
  EXPECT_EQ(*static_cast<long double*>(node_get_data(list.head, nullptr, nullptr)), vld);
  qvlinklist_insert(&list, 13, &v8, 1, &status);
  EXPECT_EQ(*static_cast<unsigned char*>(node_get_data(list.head, nullptr, nullptr)), v8);
  qvlinklist_insert(&list, 9, &v8, 1, &status);
  EXPECT_EQ(node_get_data(list.head, &type, nullptr), nullptr);
  EXPECT_EQ(type, 9);
  EXPECT_EQ(qvlinklist_length(&list), 9u);

  // Only payload nodes can be found by pointer.
  qvlinklist_delete(&list, 17, text, 3);
  EXPECT_EQ(qvlinklist_length(&list), 8u);

  qvlinklist_clear(&list);
  EXPECT_EQ(qvlinklist_length(&list), 0u);
  EXPECT_EQ(list.head, nullptr);
  EXPECT_EQ(list.iterator, nullptr);
  qvlinklist_destroy(&list);  // in place: the record is not freed
}

TEST_F(ListTest, NullsAndAllocationFailures) {
  uint16_t type = 0;
  uint64_t size = 7;
  EXPECT_EQ(node_get_data(nullptr, &type, &size), nullptr);
  EXPECT_EQ(type, 65535);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(node_new(nullptr, Deallocate, 18, &a, 8), nullptr);
  EXPECT_EQ(node_new(Allocate, nullptr, 18, &a, 8), nullptr);
  EXPECT_EQ(node_new(Allocate, Deallocate, 18, nullptr, 8), nullptr);
  node_free(Deallocate, nullptr);

  int status = -1;
  qvlinklist_insert(nullptr, 18, &a, 8, &status);
  EXPECT_EQ(status, QVLIST_NULL_LIST);
  EXPECT_EQ(qvlinklist_iterate(nullptr, nullptr, nullptr, &status), nullptr);
  EXPECT_EQ(status, QVLIST_NULL_LIST);
  EXPECT_EQ(qvlinklist_length(nullptr), 0u);
  qvlinklist_delete(nullptr, 18, &a, 8);
  qvlinklist_destroy(nullptr);

  qvlinklist* list = qvlinklist_new(Allocate, Deallocate);
  book.failAfter = 0;
  qvlinklist_insert(list, 18, &a, 8, &status);
  EXPECT_EQ(status, QVLIST_NO_MEMORY);
  book.failAfter = 1;  // the node but not its payload: the node is given back
  qvlinklist_insert(list, 16, "xyz", 3, &status);
  EXPECT_EQ(status, QVLIST_NO_MEMORY);
  EXPECT_EQ(qvlinklist_length(list), 0u);
  book.failAfter = -1;
  qvlinklist_destroy(list);

  book.failAfter = 0;
  EXPECT_EQ(qvlinklist_new(Allocate, Deallocate), nullptr);
  book.failAfter = -1;
}

TEST_F(ListTest, PopHandsOverTheLastNode) {
  qvlinklist* list = ThreePointers();  // c, b, a
  int status = -1;
  qvlinklist_iterate_reset(list);
  qvlinklist_iterate(list, nullptr, nullptr, &status);
  qvlinklist_iterate(list, nullptr, nullptr, &status);  // iterator on a
  _node* last = qvlinklist_pop(list, &status);
  EXPECT_EQ(status, QVLIST_OK);
  EXPECT_EQ(node_get_data(last, nullptr, nullptr), &a);
  EXPECT_EQ(qvlinklist_length(list), 2u);
  EXPECT_EQ(qvlinklist_iterate(list, nullptr, nullptr, &status), nullptr);
  node_free(Deallocate, last);
  node_free(Deallocate, qvlinklist_pop(list, &status));
  node_free(Deallocate, qvlinklist_pop(list, &status));
  EXPECT_EQ(list->head, nullptr);
  EXPECT_EQ(qvlinklist_pop(list, &status), nullptr);
  EXPECT_EQ(status, QVLIST_END);
  qvlinklist_destroy(list);
}

}  // namespace
