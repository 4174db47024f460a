// A singly linked list of typed nodes for the procedural layers. Nodes and
// copied payloads come from the allocator pair the list is made with.
#pragma once

#include <cstdint>

#include "utilities/qvclibmemory.h"

extern "C" {

// Status words of the list functions.
enum {
  QVLIST_OK = 0,
  QVLIST_NULL_LIST = 1,
  QVLIST_NO_MEMORY = 2,
  QVLIST_END = 3,
  QVLIST_NODE_END = 100,
};

// node_get_data's type for a null node.
constexpr uint16_t kQVNodeNoType = 65535;

struct _node {
  _node* next;
  uint64_t size;  // payload size for types 15 to 17, else 0
  int16_t type;
  alignas(16) unsigned char value[16];  // inline value, or the payload pointer in the first 8 bytes
};

struct qvlinklist {
  qvstd_allocate_fn allocate;
  qvstd_deallocate_fn deallocate;
  uint64_t count;
  int32_t in_place;  // 1: the record is the caller's memory, not freed by destroy
  _node* head;
  _node* iterator;  // the next node to hand out
};

_node* node_new(qvstd_allocate_fn allocate, qvstd_deallocate_fn deallocate, uint16_t type,
                const void* data, uint64_t size);
void node_free(qvstd_deallocate_fn deallocate, _node* node);
void* node_get_data(_node* node, uint16_t* type, uint64_t* size);

qvlinklist* qvlinklist_new(qvstd_allocate_fn allocate, qvstd_deallocate_fn deallocate);
qvlinklist* qvlinklist_initialize(qvlinklist* list, qvstd_allocate_fn allocate,
                                  qvstd_deallocate_fn deallocate);
void qvlinklist_insert(qvlinklist* list, uint16_t type, const void* data, uint64_t size,
                       int* status);
void qvlinklist_node_insert(qvlinklist* list, _node* node, int* status);
void qvlinklist_delete(qvlinklist* list, uint16_t type, const void* data, uint64_t size);
// Unlinks and frees that node when it is in the list.
void qvlinklist_node_delete(qvlinklist* list, _node* node);
// Unlinks the last node and hands it over (free it with node_free); null and
// status 3 for an empty list.
_node* qvlinklist_pop(qvlinklist* list, int* status);
uint64_t qvlinklist_length(const qvlinklist* list);
void qvlinklist_iterate_reset(qvlinklist* list);
void* qvlinklist_iterate(qvlinklist* list, uint16_t* type, uint64_t* size, int* status);
_node* qvlinklist_node_iterate(qvlinklist* list, int* status);
void qvlinklist_clear(qvlinklist* list);
void qvlinklist_destroy(qvlinklist* list);

}
