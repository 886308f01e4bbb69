#ifndef _UNISTD_H
#define _UNISTD_H

#ifdef __cplusplus
extern "C" {
#endif

#ifndef __size_t_defined
#define __size_t_defined
typedef __SIZE_TYPE__ size_t;
#endif

int write(int __fd, const void *__buf, size_t __count);
_Noreturn void _exit(int __status);

#ifdef __cplusplus
}
#endif

#endif
