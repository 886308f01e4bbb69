// Opening files. open and creat share call 4 with access (in unistd), which
// opens with no flags at all.
#include <fcntl.h>

#include "gate.h"

namespace {

enum { SYS_OPEN = 4 };

} // namespace

extern "C" {

// edx repeats the flags when O_CREAT asks for creation and is 0 otherwise
// (creat, below, sends 0 there). A third argument, a mode, is never read.
int open(const char *path, int flags, ...)
{
    if (!path)
        return -1;
    return gate3(SYS_OPEN, gate_addr(path), flags, (flags & O_CREAT) ? flags : 0);
}

int creat(const char *path, mode_t)
{
    if (!path)
        return -1;
    return gate3(SYS_OPEN, gate_addr(path), O_WRONLY | O_CREAT | O_TRUNC, 0);
}

} // extern "C"
