#include "network/qvipinterfacecontainer.h"

#include <new>
#include <set>

#include "network/qvplatforminterface.h"
#include "utilities/qvexception.h"

using Quorvane::QVException;
using Quorvane::QVHostname;
using Quorvane::QVInterfaceContainer;
using Quorvane::QVObject;
using Quorvane::QVStdAllocator;
using Quorvane::QVString;
using Quorvane::QVStringList;

namespace {

constexpr uint16_t kStringNode = 17;

// Inserts the texts in the order given, each at the head; null (and the list
// destroyed) when a node cannot be made.
template <typename Texts>
qvlinklist* MakeList(const qvipinterfacecontainer* record, const Texts& texts) {
  qvlinklist* list = qvlinklist_new(record->allocator, record->deallocator);
  if (list == nullptr) return nullptr;
  for (const QVString& text : texts) {
    int status = 0;
    qvlinklist_insert(list, kStringNode, text.data(), text.size(), &status);
    if (status != 0) {
      qvlinklist_destroy(list);
      return nullptr;
    }
  }
  return list;
}

}  // namespace

extern "C" {

qvipinterfacecontainer* qvipinterfacecontainer_new(qvstd_allocate_fn allocator,
                                                   qvstd_deallocate_fn deallocator) {
  void* block = QVObject::allocate(sizeof(qvipinterfacecontainer));
  if (block == nullptr) return nullptr;
  QVInterfaceContainer* container = nullptr;
  try {
    container = Quorvane::QVInterfaceContainerFactory::MakeContainer();
  } catch (...) {
    container = nullptr;
  }
  if (container == nullptr) {
    QVObject::deallocate(block);
    return nullptr;
  }
  auto* record = static_cast<qvipinterfacecontainer*>(block);
  record->allocator = allocator;
  record->deallocator = deallocator;
  record->container = container;
  return record;
}

void qvipinterfacecontainer_destroy(qvipinterfacecontainer* record) {
  if (record == nullptr) return;
  delete record->container;
  QVObject::deallocate(record);
}

int qvipinterfacecontainer_interfaces_changed(qvipinterfacecontainer* record) {
  if (record == nullptr || record->container == nullptr) return 0;
  try {
    return record->container->InterfacesChangedQ() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

qvlinklist* qvipinterfacecontainer_get_decimal_names(qvipinterfacecontainer* record) {
  if (record == nullptr || record->container == nullptr) return nullptr;
  QVStringList names;
  try {
    names = record->container->GetPresentationNames();
  } catch (...) {
    return nullptr;
  }
  return MakeList(record, names);
}

qvlinklist* qvipinterfacecontainer_get_domain_names(qvipinterfacecontainer* record) {
  if (record == nullptr || record->container == nullptr) return nullptr;
  std::set<QVString, std::less<QVString>, QVStdAllocator<QVString>> names;
  try {
    record->container->LoadDomainOnlyNames();
    for (const QVString& name : record->container->GetDomainOnlyNames()) {
      if (!name.empty()) names.insert(name);
    }
    const QVString domain = QVHostname().getDomain();
    if (!domain.empty()) names.insert(domain);
  } catch (...) {
    return nullptr;
  }
  return MakeList(record, names);
}

}
