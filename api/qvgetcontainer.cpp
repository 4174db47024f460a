// The get container's constructors: borrowed pointers, counted dictionaries.
#include "api/qvgetcontainer.h"

namespace Quorvane {

QVGetContainer::QVGetContainer()
    : symbolDictionary(QVStringDictionary::init()), stringDictionary(QVStringDictionary::init()) {}

QVGetContainer::QVGetContainer(QVLink* link)
    : QVGetContainer(&link->globals->pool, &link->readState, link->deviceStack, &link->queueStack,
                     link->symbolReplacements, link->symbolDictionary, link->stringDictionary) {}

QVGetContainer::QVGetContainer(mempool_qvt* pool_, read_state* readState_, device_kebab* deviceStack_,
                               qv_queue_stack* queueStack_, _qvsymbol_variant_env* variantEnv_,
                               const Dictionary& symbolDictionary_, const Dictionary& stringDictionary_)
    : pool(pool_),
      readState(readState_),
      deviceStack(deviceStack_),
      queueStack(queueStack_),
      variantEnv(variantEnv_),
      stringDictionary(stringDictionary_) {
  // A symbol handle is taken only when it holds a dictionary.
  if (symbolDictionary_) symbolDictionary = symbolDictionary_;
}

QVGetContainer::~QVGetContainer() {
  stringDictionary = Dictionary();
  symbolDictionary = Dictionary();
}

}  // namespace Quorvane
