#ifndef _STDLIB_H
#define _STDLIB_H
#endif
