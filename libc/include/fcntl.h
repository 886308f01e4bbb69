#ifndef _FCNTL_H
#define _FCNTL_H
#endif
