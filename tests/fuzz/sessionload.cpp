// SessionDisk::load on any bytes as session.json.

#include "sessioncheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fuzz::checkSessionLoad(data, size);
    return 0;
}
