/* A C program linked against the runtime like any user program. */
#include <stdio.h>
#include <string.h>

int headers_c_check(void);

int main(int argc, char **argv)
{
    (void)argv;
    if (argc > 1)
        return headers_c_check();   /* linked in, run only on request */
    puts("hello from C");
    return (int)strlen("seven..");
}
