#include "alphabet/code_table.h"

namespace alphabet {

template class BasicCodeTable<ValueHash>;

}  // namespace alphabet
