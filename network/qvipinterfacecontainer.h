// Plain functions through which the link core reads the host's address texts
// and domain names; no exception leaves them.
#pragma once

#include "utilities/qvclibmemory.h"
#include "utilities/qvlist.h"

namespace Quorvane {
class QVInterfaceContainer;
}

extern "C" {

struct qvipinterfacecontainer {
  qvstd_allocate_fn allocator;
  qvstd_deallocate_fn deallocator;
  Quorvane::QVInterfaceContainer* container;
};

// A record around a freshly loaded container; null on failure.
qvipinterfacecontainer* qvipinterfacecontainer_new(qvstd_allocate_fn allocator,
                                                   qvstd_deallocate_fn deallocator);
void qvipinterfacecontainer_destroy(qvipinterfacecontainer* record);
// 1 when the host's interfaces differ from the loaded ones, else 0.
int qvipinterfacecontainer_interfaces_changed(qvipinterfacecontainer* record);
// Lists of string nodes (type 17), read from the head in descending byte
// order; the caller frees them with qvlinklist_destroy. Null on failure.
qvlinklist* qvipinterfacecontainer_get_decimal_names(qvipinterfacecontainer* record);
qvlinklist* qvipinterfacecontainer_get_domain_names(qvipinterfacecontainer* record);

}
