// What one get of a name, string, symbol, function head or array head needs
// besides the bytes: the pool its atoms come from, the read side of the link,
// the symbol-replacement table and counted handles on the two dictionaries
// that abbreviate known names on the wire. Built on the caller's stack for
// one codec call, inside the link lock; never outlives the link.
#pragma once

#include "api/qvlink.h"
#include "api/qvmempool.h"
#include "api/qvreadstate.h"
#include "datastructures/qvdevicestack.h"
#include "datastructures/qvqueuestack.h"
#include "text/qvstringdictionary.h"
#include "utilities/qvobject.h"
#include "utilities/qvsmartpointer.h"

struct _qvsymbol_variant_env;

namespace Quorvane {

class QVGetContainer : public QVObject {
 public:
  using Dictionary = QVSmartPointer<QVStringDictionary>;

  // Null pointers and two fresh, empty dictionaries.
  QVGetContainer();
  // The link's pool, read side, replacements and dictionaries.
  explicit QVGetContainer(QVLink* link);
  QVGetContainer(mempool_qvt* pool, read_state* readState, device_kebab* deviceStack, qv_queue_stack* queueStack,
                 _qvsymbol_variant_env* variantEnv, const Dictionary& symbolDictionary,
                 const Dictionary& stringDictionary);
  // Drops the string dictionary, then the symbol dictionary.
  ~QVGetContainer() override;
  QVGetContainer(const QVGetContainer&) = delete;
  QVGetContainer& operator=(const QVGetContainer&) = delete;

  mempool_qvt* pool = nullptr;
  read_state* readState = nullptr;
  device_kebab* deviceStack = nullptr;
  qv_queue_stack* queueStack = nullptr;
  _qvsymbol_variant_env* variantEnv = nullptr;
  Dictionary symbolDictionary;
  Dictionary stringDictionary;
};

}  // namespace Quorvane
