// Block lists: the collected payload of a converter, in pieces, each with its
// own character count and read offset.
#include <cstring>

#include "text/qvconverter.h"

namespace {
constexpr int64_t kHeader = static_cast<int64_t>(sizeof(cube));
}

unsigned char* block_bytes(cube* block) { return reinterpret_cast<unsigned char*>(block) + kHeader; }

unsigned char* put_block(character_environment* state_instance, cube** head, cube** tail, int64_t size,
                         int64_t characters) {
  if (state_instance == nullptr || head == nullptr || tail == nullptr || size < 0) return nullptr;
  void* memory = state_instance->allocate(static_cast<uint64_t>(kHeader + size));
  if (memory == nullptr) return nullptr;
  cube* block = static_cast<cube*>(memory);
  block->next = nullptr;
  block->characters = characters;
  block->size = size;
  block->offset = 0;
  if (*tail != nullptr) {
    (*tail)->next = block;
  } else {
    *head = block;
  }
  *tail = block;
  return block_bytes(block);
}

void free_blocks(character_environment* state_instance, cube** head, cube** tail) {
  if (head == nullptr) return;
  cube* block = *head;
  while (block != nullptr) {
    cube* next = block->next;
    state_instance->deallocate(block);
    block = next;
  }
  *head = nullptr;
  if (tail != nullptr) *tail = nullptr;
}

int64_t blocks_size(const cube* head) {
  int64_t total = 0;
  for (const cube* b = head; b != nullptr; b = b->next) total += b->size - b->offset;
  return total;
}

int64_t blocks_count(const cube* head) {
  int64_t total = 0;
  for (const cube* b = head; b != nullptr; b = b->next) total += b->characters;
  return total;
}

unsigned char* read_block(cube* head) { return head == nullptr ? nullptr : block_bytes(head) + head->offset; }

int64_t read_block_size(const cube* block) { return block == nullptr ? 0 : block->size - block->offset; }

void read_block_done(character_environment* state_instance, cube** head, cube** tail, int64_t n) {
  cube* block = *head;
  if (block == nullptr) return;
  if (n < block->size - block->offset) {
    block->offset += n;
    return;
  }
  *head = block->next;
  if (*head == nullptr) *tail = nullptr;
  state_instance->deallocate(block);
}

unsigned char* clone_blocks(character_environment* state_instance, cube** head, cube** tail, const cube* source) {
  const int64_t size = blocks_size(source);
  unsigned char* bytes = put_block(state_instance, head, tail, size, blocks_count(source));
  if (bytes == nullptr) return nullptr;
  unsigned char* p = bytes;
  for (const cube* b = source; b != nullptr; b = b->next) {
    const int64_t n = b->size - b->offset;
    if (n > 0) std::memcpy(p, reinterpret_cast<const unsigned char*>(b) + kHeader + b->offset, n);
    p += n;
  }
  return bytes;
}

unsigned char* ul_to_f(uint64_t value, unsigned char* end) {
  if (value < 64) {
    *--end = static_cast<unsigned char>(0x40 | value);
    return end;
  }
  return old_ul_to_f(value, end);
}

unsigned char* old_ul_to_f(uint64_t value, unsigned char* end) {
  *--end = ' ';
  do {
    *--end = static_cast<unsigned char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return end;
}
