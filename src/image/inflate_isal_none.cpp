#include "src/image/inflate_engine.h"

// Built without ISA-L: zlib does all the inflating.
std::unique_ptr<inflate_engine> make_isal_engine()
{
    return nullptr;
}
