#ifndef _STDLIB_H
#define _STDLIB_H

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

#define RAND_MAX 32767

__attribute__((__noreturn__)) void exit(int __status);
__attribute__((__noreturn__)) void abort(void);
int atexit(void (*__fn)(void));
char *getenv(const char *__name);

unsigned long strtoul(const char *__text, char **__end, int __base);
long strtol(const char *__text, char **__end, int __base);
int atoi(const char *__text);
long atol(const char *__text);
int abs(int __value);
long labs(long __value);
long double strtold(const char *__text, char **__end);
double strtod(const char *__text, char **__end);

void *malloc(size_t __size);
void *calloc(size_t __count, size_t __size);
void *realloc(void *__p, size_t __size);
void free(void *__p);

void srand(unsigned __seed);
int rand(void);

#ifdef __cplusplus
}
#endif

#endif
