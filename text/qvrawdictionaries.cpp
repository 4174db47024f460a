// The built-in raw tables of version key 1. Their names are data for the host
// language the system serves; until that data is supplied both tables hold
// only their terminator, and the managers offer no key for them.
#include "text/qvstringdictionary.h"

namespace Quorvane {

const QVRawStringDictionary rawSymbolDictionaryOne[] = {
    {nullptr, 0},
};

const QVRawStringDictionary rawStringDictionaryOne[] = {
    {nullptr, 0},
};

}  // namespace Quorvane
