#ifndef _ERRNO_H
#define _ERRNO_H

#ifdef __cplusplus
extern "C" {
#endif

#define ENOENT 2
#define ENOMEM 12
#define EINVAL 22
#define ENOSYS 38

/* Written only by the allocator, and never cleared. */
extern int errno;

char *strerror(int __code);

#ifdef __cplusplus
}
#endif

#endif
