#ifndef _FCNTL_H
#define _FCNTL_H

#ifdef __cplusplus
extern "C" {
#endif

#ifndef __mode_t_defined
#define __mode_t_defined
typedef unsigned int mode_t;
#endif

#define O_RDONLY 0
#define O_WRONLY 0x1
#define O_CREAT  0x40
#define O_TRUNC  0x200

int open(const char *__path, int __flags, ...);
int creat(const char *__path, mode_t __mode);

#ifdef __cplusplus
}
#endif

#endif
