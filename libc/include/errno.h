#ifndef _ERRNO_H
#define _ERRNO_H
#endif
