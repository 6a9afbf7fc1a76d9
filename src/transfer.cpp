#include "transfer.h"

void xfer_files(RunSettings& s)
{
    if (s.proto == PROTO_NONE)
        throw Fatal{255, "Fatal: Protocol not specified!\n"};
}
