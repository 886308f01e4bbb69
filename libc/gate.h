// The zelkos kernel gate, shared by the wrapper sources (unistd, fcntl) and
// by nothing else: int 0x80, call number in eax, arguments in ebx, ecx, edx,
// esi, edi, ebp, result in eax.
//
// The kernel keeps esp, ebp, esi and edi but may hand back ebx, ecx and edx
// changed. Every helper therefore declares all three as written, either as
// in-out operands (when it loads them) or as clobbers (when it does not), so
// the compiler never assumes an argument survives the call. ebx is
// callee-saved in the i386 convention, so declaring it makes the compiler
// save and restore it in the wrapper's own frame.
#ifndef LIBC_GATE_H
#define LIBC_GATE_H

typedef unsigned int gate_word;

// Pointers travel as plain 32-bit words.
static inline gate_word gate_addr(const void *p)
{
    return (gate_word)(unsigned long)p;
}

static inline int gate0(int nr)
{
    int ret;
    asm volatile("int $0x80" : "=a"(ret) : "a"(nr) : "ebx", "ecx", "edx", "memory");
    return ret;
}

static inline int gate1(int nr, gate_word a)
{
    int ret;
    asm volatile("int $0x80" : "=a"(ret), "+b"(a) : "a"(nr) : "ecx", "edx", "memory");
    return ret;
}

static inline int gate2(int nr, gate_word a, gate_word b)
{
    int ret;
    asm volatile("int $0x80" : "=a"(ret), "+b"(a), "+c"(b) : "a"(nr) : "edx", "memory");
    return ret;
}

static inline int gate3(int nr, gate_word a, gate_word b, gate_word c)
{
    int ret;
    asm volatile("int $0x80" : "=a"(ret), "+b"(a), "+c"(b), "+d"(c) : "a"(nr) : "memory");
    return ret;
}

// The sixth argument travels in ebp, which is also the frame register and
// cannot be named as an operand. It is pushed first, while any stack or
// frame-relative address the compiler chose for it is still valid, then
// ebp is saved and loaded from that slot, and restored right after the
// kernel returns, before anything can use the frame again.
static inline int gate6(int nr, gate_word a, gate_word b, gate_word c,
                        gate_word d, gate_word e, gate_word f)
{
    int ret;
    asm volatile("pushl %[f]\n\t"
                 "pushl %%ebp\n\t"
                 "movl 4(%%esp), %%ebp\n\t"
                 "int $0x80\n\t"
                 "popl %%ebp\n\t"
                 "addl $4, %%esp"
                 : "=a"(ret), "+b"(a), "+c"(b), "+d"(c)
                 : "a"(nr), "S"(d), "D"(e), [f] "g"(f)
                 : "memory");
    return ret;
}

#endif
