#ifndef _UNISTD_H
#define _UNISTD_H

#ifdef __cplusplus
extern "C" {
#endif

#ifndef __size_t_defined
#define __size_t_defined
typedef __SIZE_TYPE__ size_t;
#endif

#ifndef NULL
#ifdef __cplusplus
#define NULL 0
#else
#define NULL ((void *)0)
#endif
#endif

#ifndef __off_t_defined
#define __off_t_defined
typedef long off_t;
#endif

#ifndef __mode_t_defined
#define __mode_t_defined
typedef unsigned int mode_t;
#endif

int write(int __fd, const void *__buf, size_t __count);
__attribute__((__noreturn__)) void _exit(int __status);
int read(int __fd, void *__buf, size_t __count);
int access(const char *__path, int __mode);
int close(int __fd);
int getkey(void);
int writefile(const char *__path, const void *__buf, size_t __len);
int usleep(unsigned int __microseconds);
unsigned int sleep(unsigned int __seconds);
int mkdir(const char *__path, mode_t __mode);
int unlink(const char *__path);
int rmdir(const char *__path);
int getcwd(char *__buf, size_t __size);
int zelkfs_stream_begin(const char *__path);
int zelkfs_stream_write(int __first, const void *__buf, size_t __len);
int zelkfs_stream_end(int __first);
int chdir(const char *__path);
void *mmap(void *__addr, size_t __length, int __prot, int __flags, int __fd, off_t __offset);
int munmap(void *__addr, size_t __length);
off_t lseek(int __fd, off_t __offset, int __whence);
int pipe(int __fds[2]);
int mkfifo(const char *__path, mode_t __mode);
int dup(int __fd);
int dup2(int __oldfd, int __newfd);
int fd_set_inherit(int __flag);
int fd_set_stdio(int __first, int __second, int __third);
int fd_set_nonblock(int __fd, int __flag);
int spawn(const void *__first, const void *__second, int __third);
int waitpid(int __pid, int *__status, int __options);
int spawn_ex(const void *__first, const void *__second, int __third, int __fourth, int __fifth,
             int __sixth, int __seventh);

#ifdef __cplusplus
}
#endif

#endif
