#ifndef _STDIO_H
#define _STDIO_H

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

/* What the character and string functions return on failure. */
#define EOF (-1)

/* The compiler's own variable-argument list, for the v- functions. */
#ifndef __va_list_defined
#define __va_list_defined
typedef __builtin_va_list va_list;
#endif

#define FILE_KIND_DESCRIPTOR 1
#define FILE_KIND_MEMORY     2
#define FILE_KIND_DEFERRED   3

typedef struct FILE {
    int kind;
    int fd;
    char *path;
    unsigned char *buf;
    unsigned len;
    unsigned cap;
    char **user_buf;
    size_t *user_size;
    int error;
    int pos;
    int eof;
} FILE;

extern FILE g_stdin, g_stdout, g_stderr;
extern FILE *stdin, *stdout, *stderr;

size_t fwrite(const void *__ptr, size_t __size, size_t __count, FILE *__stream);
int fputc(int __ch, FILE *__stream);
int putchar(int __ch);
int fputs(const char *__s, FILE *__stream);
int puts(const char *__s);
int fflush(FILE *__stream);
void setbuf(FILE *__stream, char *__buf);

/* Memory and deferred-file streams */
FILE *open_memstream(char **__bufp, size_t *__sizep);
FILE *fopen(const char *__path, const char *__mode);
int fclose(FILE *__stream);

/* Reading, position and status */
size_t fread(void *__ptr, size_t __size, size_t __count, FILE *__stream);
int fgetc(FILE *__stream);
int getchar(void);
int fseek(FILE *__stream, long __offset, int __whence);
long ftell(FILE *__stream);
void rewind(FILE *__stream);
int feof(FILE *__stream);
int ferror(FILE *__stream);

/* Buffer formatter */
int vsnprintf(char *__buf, size_t __size, const char *__fmt, va_list __ap);
int snprintf(char *__buf, size_t __size, const char *__fmt, ...);
int vsprintf(char *__buf, const char *__fmt, va_list __ap);
int sprintf(char *__buf, const char *__fmt, ...);

/* Stream formatter */
int vfprintf(FILE *__stream, const char *__fmt, va_list __ap);
int fprintf(FILE *__stream, const char *__fmt, ...);
int printf(const char *__fmt, ...);

/* Scanners */
int vsscanf(const char *__s, const char *__format, va_list __ap);
int sscanf(const char *__s, const char *__format, ...);
int fscanf(FILE *__stream, const char *__format, ...);

#ifdef __cplusplus
}
#endif

#endif
