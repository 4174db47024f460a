#include "utilities/qvlist.h"

#include <cstring>

namespace {

// Bytes kept inline for a type code; 0 for payload and empty types.
size_t InlineSize(uint16_t type) {
  switch (type) {
    case 0: case 1: return 2;
    case 2: case 3: case 10: return 4;
    case 4: case 5: case 6: case 7: case 11: case 19: case 20: return 8;
    case 12: return 10;
    case 13: case 14: return 1;
    default: return 0;
  }
}

bool HasPayloadCopy(int type) { return type >= 15 && type <= 17; }

void* PayloadPointer(const _node* node) {
  void* p;
  std::memcpy(&p, node->value, sizeof p);
  return p;
}

void SetStatus(int* status, int value) {
  if (status != nullptr) *status = value;
}

// Unlinks node (whose predecessor is previous, or null at the head) and frees it.
void Unlink(qvlinklist* list, _node* previous, _node* node) {
  if (previous == nullptr) {
    list->head = node->next;
  } else {
    previous->next = node->next;
  }
  // The iterator must never be left on a freed node.
  if (list->iterator == node) list->iterator = node->next;
  node_free(list->deallocate, node);
  --list->count;
}

void FreeAll(qvlinklist* list) {
  _node* node = list->head;
  while (node != nullptr) {
    _node* next = node->next;
    node_free(list->deallocate, node);
    node = next;
  }
  list->head = nullptr;
  list->iterator = nullptr;
  list->count = 0;
}

}  // namespace

extern "C" {

_node* node_new(qvstd_allocate_fn allocate, qvstd_deallocate_fn deallocate, uint16_t type,
                const void* data, uint64_t size) {
  if (allocate == nullptr || deallocate == nullptr || data == nullptr) return nullptr;
  auto* node = static_cast<_node*>(allocate(sizeof(_node)));
  if (node == nullptr) return nullptr;
  std::memset(node, 0, sizeof(_node));
  node->type = static_cast<int16_t>(type);
  if (HasPayloadCopy(type)) {
    const uint64_t bytes = type == 17 ? size + 1 : size;
    void* payload = bytes < size ? nullptr : allocate(bytes == 0 ? 1 : bytes);
    if (payload == nullptr) {
      deallocate(node);
      return nullptr;
    }
    std::memcpy(payload, data, size);
    if (type == 17) static_cast<unsigned char*>(payload)[size] = 0;
    node->size = size;
    std::memcpy(node->value, &payload, sizeof payload);
  } else if (type == 18) {
    const void* kept = data;
    std::memcpy(node->value, &kept, sizeof kept);
  } else {
    std::memcpy(node->value, data, InlineSize(type));
  }
  return node;
}

void node_free(qvstd_deallocate_fn deallocate, _node* node) {
  if (node == nullptr || deallocate == nullptr) return;
  if (HasPayloadCopy(node->type)) deallocate(PayloadPointer(node));
  deallocate(node);
}

void* node_get_data(_node* node, uint16_t* type, uint64_t* size) {
  if (node == nullptr) {
    if (type != nullptr) *type = kQVNodeNoType;
    if (size != nullptr) *size = 0;
    return nullptr;
  }
  const auto code = static_cast<uint16_t>(node->type);
  if (type != nullptr) *type = code;
  if (size != nullptr) *size = node->size;
  if (code >= 15 && code <= 18) return PayloadPointer(node);
  if (InlineSize(code) != 0) return node->value;
  return nullptr;
}

qvlinklist* qvlinklist_new(qvstd_allocate_fn allocate, qvstd_deallocate_fn deallocate) {
  if (allocate == nullptr || deallocate == nullptr) return nullptr;
  auto* list = static_cast<qvlinklist*>(allocate(sizeof(qvlinklist)));
  if (list == nullptr) return nullptr;
  qvlinklist_initialize(list, allocate, deallocate);
  list->in_place = 0;
  return list;
}

qvlinklist* qvlinklist_initialize(qvlinklist* list, qvstd_allocate_fn allocate,
                                  qvstd_deallocate_fn deallocate) {
  if (list == nullptr) return nullptr;
  list->allocate = allocate;
  list->deallocate = deallocate;
  list->count = 0;
  list->in_place = 1;
  list->head = nullptr;
  list->iterator = nullptr;
  return list;
}

void qvlinklist_insert(qvlinklist* list, uint16_t type, const void* data, uint64_t size,
                       int* status) {
  if (list == nullptr) return SetStatus(status, QVLIST_NULL_LIST);
  _node* node = node_new(list->allocate, list->deallocate, type, data, size);
  if (node == nullptr) return SetStatus(status, QVLIST_NO_MEMORY);
  qvlinklist_node_insert(list, node, status);
}

void qvlinklist_node_insert(qvlinklist* list, _node* node, int* status) {
  if (list == nullptr) return SetStatus(status, QVLIST_NULL_LIST);
  if (node == nullptr) return SetStatus(status, QVLIST_NO_MEMORY);
  node->next = list->head;
  list->head = node;
  ++list->count;
  SetStatus(status, QVLIST_OK);
}

void qvlinklist_delete(qvlinklist* list, uint16_t type, const void* data, uint64_t size) {
  if (list == nullptr) return;
  _node* previous = nullptr;
  for (_node* node = list->head; node != nullptr; previous = node, node = node->next) {
    uint16_t code;
    if (node_get_data(node, &code, nullptr) == data && code == type) {
      Unlink(list, previous, node);
      return;
    }
  }
}

void qvlinklist_node_delete(qvlinklist* list, _node* target) {
  if (list == nullptr || target == nullptr) return;
  _node* previous = nullptr;
  for (_node* node = list->head; node != nullptr; previous = node, node = node->next) {
    if (node == target) {
      Unlink(list, previous, node);
      return;
    }
  }
}

_node* qvlinklist_pop(qvlinklist* list, int* status) {
  if (list == nullptr) {
    SetStatus(status, QVLIST_NULL_LIST);
    return nullptr;
  }
  if (list->head == nullptr) {
    SetStatus(status, QVLIST_END);
    return nullptr;
  }
  _node* previous = nullptr;
  _node* last = list->head;
  while (last->next != nullptr) {
    previous = last;
    last = last->next;
  }
  if (previous == nullptr) {
    list->head = nullptr;
  } else {
    previous->next = nullptr;
  }
  if (list->iterator == last) list->iterator = nullptr;
  --list->count;
  last->next = nullptr;
  SetStatus(status, QVLIST_OK);
  return last;
}

uint64_t qvlinklist_length(const qvlinklist* list) { return list == nullptr ? 0 : list->count; }

void qvlinklist_iterate_reset(qvlinklist* list) {
  if (list != nullptr) list->iterator = list->head;
}

void* qvlinklist_iterate(qvlinklist* list, uint16_t* type, uint64_t* size, int* status) {
  if (list == nullptr) {
    SetStatus(status, QVLIST_NULL_LIST);
    return nullptr;
  }
  if (list->iterator == nullptr) {
    SetStatus(status, QVLIST_END);
    return nullptr;
  }
  _node* node = list->iterator;
  list->iterator = node->next;
  SetStatus(status, QVLIST_OK);
  return node_get_data(node, type, size);
}

_node* qvlinklist_node_iterate(qvlinklist* list, int* status) {
  if (list == nullptr) {
    SetStatus(status, QVLIST_NULL_LIST);
    return nullptr;
  }
  if (list->iterator == nullptr) {
    SetStatus(status, QVLIST_NODE_END);
    return nullptr;
  }
  _node* node = list->iterator;
  list->iterator = node->next;
  SetStatus(status, QVLIST_OK);
  return node;
}

void qvlinklist_clear(qvlinklist* list) {
  if (list != nullptr) FreeAll(list);
}

void qvlinklist_destroy(qvlinklist* list) {
  if (list == nullptr) return;
  FreeAll(list);
  if (list->in_place == 0) list->deallocate(list);
}

}  // extern "C"
