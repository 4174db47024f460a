// The chunked byte queue under every link: a singly linked list of
// reference-counted chunks, read at a read position, written at the end,
// shared between sibling queues (forks) and pinned by marks. Procedural,
// lock-free (callers serialise), small integer results.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef void* (*qvqueue_allocate_fn)(uint64_t size);
typedef void (*qvqueue_deallocate_fn)(void* p);

// The allocator pair a queue is made with (also the first two fields of every queue).
struct _queue_memstruct {
  qvqueue_allocate_fn allocate;
  qvqueue_deallocate_fn deallocate;
};

struct _queue;
struct _chunk;

// Gets an empty buffer for writing; returns its size, or -2 when none can be had.
typedef int64_t (*qvqueue_new_buffer_fn)(_queue* queue, unsigned char** start, void** cookie);
// Gives a buffer back when its chunk is freed.
typedef void (*qvqueue_return_buffer_fn)(_chunk* chunk, unsigned char* start, void* cookie);
// Fills a buffer with new data for reading: > 0 bytes of data, 0 none now,
// < 0 none ever again.
typedef int64_t (*qvqueue_fill_fn)(_queue* queue, unsigned char** start, void** cookie);

struct _callback {
  qvqueue_new_buffer_fn new_buffer;
  qvqueue_return_buffer_fn return_buffer;
  qvqueue_fill_fn fill;
  void* reserved;
};

struct _chunk {
  _chunk* next;
  unsigned char* buffer_start;
  uint64_t references;  // siblings positioned at or before it, plus marks on it
  int64_t size;
  void* cookie;
  qvqueue_return_buffer_fn return_buffer;
  qvqueue_deallocate_fn deallocate;
  uint64_t serial;
  unsigned char serial_overflowed;
};

// The part shared by all siblings of one family.
struct _queue_shared {
  int64_t siblings;
  uint64_t pending;  // references of marks saved before any chunk existed
  _chunk* first_chunk;
  _chunk* last_chunk;
  unsigned char* write_pointer;
  unsigned char* write_end;
  uint64_t serial_counter;
};

struct _queue {
  qvqueue_allocate_fn allocate;
  qvqueue_deallocate_fn deallocate;
  _chunk* current_chunk;
  uint64_t chunk_size;
  qvqueue_new_buffer_fn new_buffer;
  qvqueue_return_buffer_fn return_buffer;
  qvqueue_fill_fn fill;
  void* reserved;
  unsigned char* read_pointer;
  unsigned char* read_end;
  _queue_shared* shared;
  int64_t marks;
  void* user_data;
  uint16_t in_place;
  uint64_t magic;
  uint64_t borrowed;
  uint64_t borrow_enabled;
};

// A saved read position.
struct _mark {
  _queue* queue;
  _chunk* chunk;            // null when the queue had no chunk
  unsigned char* position;  // null when the queue had not been read
  uint64_t in_place;
};

enum : uint64_t { QVQUEUE_MAGIC = 0x0ABEDF0B, QVQUEUE_DEFAULT_CHUNK_SIZE = 4096 };
// Error words written by the makers.
enum : int { QVQUEUE_ERR_NONE = 0, QVQUEUE_ERR_NOMEM = 8, QVQUEUE_ERR_NOQUEUE = 32 };

// Making and ending.
_queue_memstruct* qvqueue_new_memstruct(qvqueue_allocate_fn allocate, qvqueue_deallocate_fn deallocate);
void qvqueue_destroy_memstruct(_queue_memstruct* ms);
_queue* qvqueue_new(_queue_memstruct* ms, const _callback* callbacks, uint64_t chunk_size,
                    void* user_data, int* error);
_queue* qvqueue_new_with_allocators(qvqueue_allocate_fn allocate, qvqueue_deallocate_fn deallocate,
                                    const _callback* callbacks, uint64_t chunk_size, void* user_data,
                                    int* error);
int qvqueue_construct(_queue_memstruct* ms, _queue* memory, const _callback* callbacks,
                      uint64_t chunk_size, void* user_data);  // -3 success, -2 failure
int qvqueue_destroy(_queue* queue);
_queue* qvqueue_clear(_queue* queue);
_queue* qvqueue_newfork(_queue* queue, void* user_data, int* error);
_queue_memstruct* qvqueue_get_memstruct(_queue* queue);
void* qvqueue_userdata(_queue* queue);
int qvqueue_setuserdata(_queue* queue, void* data);
int64_t qvqueue_sibling_count(_queue* queue);
int qvqueue_are_siblings(_queue* a, _queue* b);
int qvqueue_ok(_queue* queue);

// Default buffer callbacks.
int64_t qvqueue_new_buffer(_queue* queue, unsigned char** start, void** cookie);
void qvqueue_return_buffer(_chunk* chunk, unsigned char* start, void* cookie);

// Writing.
int64_t qvqueue_putn(_queue* queue, const void* bytes, int64_t n);
int64_t qvqueue_putv(_queue* queue, const void* bytes, int64_t element_size, int64_t count);
int qvqueue_putc(_queue* queue, int byte);
unsigned char* qvqueue_putstart(_queue* queue);
unsigned char* qvqueue_putend(_queue* queue);
unsigned char* qvqueue_putstop(_queue* queue, unsigned char* p);
int qvqueue_add_chunk(_queue* queue);

// Reading.
int qvqueue_getc(_queue* queue);
int qvqueue_peekc(_queue* queue);
int qvqueue_ungetc(_queue* queue, int byte);
int64_t qvqueue_getn(_queue* queue, void* buffer, int64_t n);
int64_t qvqueue_ungetn(_queue* queue, const void* bytes, int64_t n);
int qvqueue_next_chunk(_queue* queue);
int qvqueue_update_queue(_queue* queue);
int qvqueue_isempty(_queue* queue);
int64_t qvqueue_amount_left_in_queue(_queue* queue);
unsigned char* qvqueue_tell(_queue* queue);
unsigned char* qvqueue_size(_queue* queue);
int qvqueue_at_beginning(_queue* queue);
int qvqueue_seektoend(_queue* queue);
unsigned char* qvqueue_get_byte_from_offset(_queue* queue, int64_t offset);

// Borrowing (reading in place).
void qvqueue_borrow_some(_queue* queue, unsigned char** start, unsigned char** end);
void qvqueue_return_rest(_queue* queue, unsigned char* p);
void qvqueue_disable_borrow(_queue* queue);
void qvqueue_enable_borrow(_queue* queue);
int qvqueue_borrowed(_queue* queue);

// Marks.
_mark* qvqueue_savemark(_queue* queue);
_mark* qvqueue_construct_and_savemark(_queue* queue, _mark* memory);
_mark* qvqueue_savemark_from_offset(_queue* queue, int64_t offset);
int qvqueue_seek(_mark* mark);
int qvqueue_seek_to_offset(_mark* mark, int64_t offset);
int qvqueue_discardmark(_mark* mark);
int qvqueue_compare_marks(_mark* a, _mark* b);
int qvqueue_mark_is_on_next_byte(_mark* mark);
int64_t qvqueue_amount_between_marks(_mark* later, _mark* earlier);
int64_t qvqueue_outstanding_marks(_queue* queue);
int qvqueue_transfer(_queue* destination, _queue* source, _mark* mark);

}  // extern "C"
