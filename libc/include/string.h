#ifndef _STRING_H
#define _STRING_H

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

void *memcpy(void *__d, const void *__s, size_t __n);
void *memmove(void *__d, const void *__s, size_t __n);
void *memset(void *__p, int __ch, size_t __n);
int memcmp(const void *__a, const void *__b, size_t __n);

size_t strlen(const char *__s);
size_t strnlen(const char *__s, size_t __max);
int strcmp(const char *__a, const char *__b);
int strncmp(const char *__a, const char *__b, size_t __n);
char *strcpy(char *__d, const char *__s);
char *strncpy(char *__d, const char *__s, size_t __n);
char *strcat(char *__d, const char *__s);
char *strncat(char *__d, const char *__s, size_t __n);
char *strchr(const char *__s, int __ch);
char *strrchr(const char *__s, int __ch);
char *strstr(const char *__h, const char *__n);
char *strdup(const char *__s);
char *strndup(const char *__s, size_t __n);
int strncasecmp(const char *__a, const char *__b, size_t __n);
int strcasecmp(const char *__a, const char *__b);
char *strtok(char *__s, const char *__delims);

#ifdef __cplusplus
}
#endif

#endif
